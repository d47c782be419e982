#include "main_loop_lock.h"
#include "sipstack.h"

#include <atomic>
#include <cerrno>
#include <pthread.h>
#include <time.h>

namespace {

pthread_mutex_t loop_mutex;
std::atomic<bool> installed{false};

}

int main_loop_lock_install()
{
	pthread_mutexattr_t attr;
	pthread_mutexattr_init(&attr);
	pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
	const int err = pthread_mutex_init(&loop_mutex, &attr);
	pthread_mutexattr_destroy(&attr);
	if (err)
		return err;
	re_set_mutex(&loop_mutex);
	installed.store(true, std::memory_order_release);
	return 0;
}

void main_loop_lock_remove()
{
	if (!installed.exchange(false))
		return;
	re_set_mutex(nullptr);
	pthread_mutex_destroy(&loop_mutex);
}

bool main_loop_lock_until(int64_t deadline_ns)
{
	if (!installed.load(std::memory_order_acquire))
		return true;
	if (!deadline_ns)
		return pthread_mutex_lock(&loop_mutex) == 0;
	// A mutex with priority inheritance waits on the wall clock only.
	struct timespec mono, wall;
	clock_gettime(CLOCK_MONOTONIC, &mono);
	clock_gettime(CLOCK_REALTIME, &wall);
	const int64_t left = deadline_ns - (int64_t(mono.tv_sec) * 1000000000 + mono.tv_nsec);
	const int64_t at_ns =
		int64_t(wall.tv_sec) * 1000000000 + wall.tv_nsec + (left > 0 ? left : 0);
	const struct timespec at = {time_t(at_ns / 1000000000), long(at_ns % 1000000000)};
	int err;
	do
		err = pthread_mutex_timedlock(&loop_mutex, &at);
	while (err == EINTR);
	return err == 0;
}

void main_loop_unlock()
{
	if (installed.load(std::memory_order_relaxed))
		pthread_mutex_unlock(&loop_mutex);
}
