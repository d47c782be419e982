#include "instance_lock.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "runtime_dir.h"

int zv_instance_lock(int *fd)
{
	if (!fd)
		return EINVAL;

	char dir[256], file[320];
	int err = zv_runtime_dir(dir, sizeof(dir));
	if (err)
		return err;
	std::snprintf(file, sizeof(file), "%s/standalone.lock", dir);

	// Close-on-exec: a program we start must not keep the lock alive.
	int lock = open(file, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
	if (lock < 0)
		return errno;
	if (flock(lock, LOCK_EX | LOCK_NB)) {
		err = errno;
		close(lock);
		return err;
	}

	*fd = lock;
	return 0;
}

void zv_instance_unlock(int fd)
{
	if (fd >= 0)
		close(fd);
}
