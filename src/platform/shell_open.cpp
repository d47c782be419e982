#include "platform.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

void *reap_opener(void *arg)
{
	pid_t pid = static_cast<pid_t>(reinterpret_cast<intptr_t>(arg));
	while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
	}
	return nullptr;
}

}

int zv_shell_open(const char *target)
{
	if (!target || !*target)
		return EINVAL;

	const char *opener = std::getenv("ZORVANE_OPENER");
	if (!opener || !*opener)
		opener = "xdg-open";

	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
	posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
	posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
	// The event library's sockets are not close-on-exec: without this a
	// browser the opener starts would keep our listening socket and the SIP
	// sockets bound after we quit.
	posix_spawn_file_actions_addclosefrom_np(&actions, 3);

	// The child starts with no signal blocked and a session of its own, so
	// a browser it starts outlives us and our terminal.
	posix_spawnattr_t attr;
	posix_spawnattr_init(&attr);
	sigset_t none;
	sigemptyset(&none);
	posix_spawnattr_setsigmask(&attr, &none);
	posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID);

	char *argv[] = {const_cast<char *>(opener), const_cast<char *>(target), nullptr};
	pid_t pid;
	int err = posix_spawnp(&pid, opener, &actions, &attr, argv, environ);
	posix_spawnattr_destroy(&attr);
	posix_spawn_file_actions_destroy(&actions);
	if (err)
		return err;

	pthread_t reaper;
	if (zv_thread_create(&reaper, reap_opener,
			     reinterpret_cast<void *>(static_cast<intptr_t>(pid))) == 0)
		pthread_detach(reaper);
	return 0;
}
