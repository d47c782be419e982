#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <spawn.h>
#include <string>
#include <sys/wait.h>

extern char **environ;

namespace {

bool have_desktop()
{
	const char *x11 = std::getenv("DISPLAY");
	const char *wayland = std::getenv("WAYLAND_DISPLAY");
	return (x11 && *x11) || (wayland && *wayland);
}

}

void zv_message_box(const char *title, const char *text)
{
	std::fprintf(stderr, "%s: %s\n", title, text);

	if (!have_desktop())
		return;

	std::string title_arg = std::string("--title=") + title;
	char *argv[] = {const_cast<char *>("zenity"),
			const_cast<char *>("--error"),
			const_cast<char *>("--no-markup"),
			title_arg.data(),
			const_cast<char *>("--text"),
			const_cast<char *>(text),
			nullptr};
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_addclosefrom_np(&actions, 3);
	pid_t pid;
	int err = posix_spawnp(&pid, "zenity", &actions, nullptr, argv, environ);
	posix_spawn_file_actions_destroy(&actions);
	if (err)
		return;
	while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
	}
}
