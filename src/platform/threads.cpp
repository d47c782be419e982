#include "platform.h"

#include <initializer_list>
#include <signal.h>

int zv_thread_create(pthread_t *thread, void *(*start)(void *), void *arg)
{
	// A new thread inherits the creator's signal mask.
	sigset_t loop_signals, old;
	sigemptyset(&loop_signals);
	for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGALRM, SIGPIPE})
		sigaddset(&loop_signals, sig);

	pthread_sigmask(SIG_BLOCK, &loop_signals, &old);
	int err = pthread_create(thread, nullptr, start, arg);
	pthread_sigmask(SIG_SETMASK, &old, nullptr);
	return err;
}
