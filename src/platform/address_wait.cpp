#include "platform.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

long futex(const void *address, int op, int32_t value, const struct timespec *timeout)
{
	return syscall(SYS_futex, address, op, value, timeout, nullptr, 0);
}

}

bool zv_wait_on_address(const void *address, int32_t compare, int timeout_ms)
{
	struct timespec limit = {timeout_ms / 1000, long(timeout_ms % 1000) * 1000000};
	if (futex(address, FUTEX_WAIT_PRIVATE, compare, timeout_ms < 0 ? nullptr : &limit) == 0)
		return true;
	return errno != ETIMEDOUT;
}

void zv_wake_by_address_single(const void *address)
{
	futex(address, FUTEX_WAKE_PRIVATE, 1, nullptr);
}

void zv_wake_by_address_all(const void *address)
{
	futex(address, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}
