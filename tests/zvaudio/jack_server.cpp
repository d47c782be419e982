#include "jack_server.h"

#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

bool jack_server::start(int rate, int period, int in_channels, int out_channels)
{
	name_ = "zvtest-" + std::to_string(getpid());
	setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
	setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
	std::vector<std::string> args = {"jackd", "--no-realtime", "-n", name_, "-d", "dummy",
					 "-r", std::to_string(rate), "-p", std::to_string(period),
					 "-C", std::to_string(in_channels), "-P", std::to_string(out_channels)};
	std::vector<char *> argv;
	for (auto &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);

	// Other servers on the machine can fill JACK's registry of servers for
	// a while: a server that ended at once is started again, after the
	// places of servers that were killed have been given back.
	for (int tries = 0; tries < 15; ++tries) {
		std::system("python3 " ZV_JACK_REGISTRY_TOOL);
		posix_spawn_file_actions_t actions;
		posix_spawn_file_actions_init(&actions);
		posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
		posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
		int err = posix_spawnp(&pid_, "jackd", &actions, nullptr, argv.data(), environ);
		posix_spawn_file_actions_destroy(&actions);
		if (err) {
			pid_ = -1;
			return false;
		}
		std::string wait = "jack_wait -w -t 5 -s " + name_ + " >/dev/null 2>&1";
		if (std::system(wait.c_str()) == 0)
			return true;
		if (waitpid(pid_, nullptr, WNOHANG) != pid_) {
			stop();
			return false;
		}
		pid_ = -1;
		sleep(2);
	}
	return false;
}

void jack_server::stop()
{
	if (pid_ <= 0)
		return;
	kill(pid_, SIGTERM);
	waitpid(pid_, nullptr, 0);
	pid_ = -1;
}
