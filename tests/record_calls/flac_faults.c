/* Disk faults for the program's FLAC files, preloaded into the program:
 *   ZV_FAULT_IN_PLACE=1  a write that starts before the end of a .flac
 *                        file fails with EIO (a full copy-on-write disk);
 *   ZV_FAULT_AFTER=N     once N bytes have gone to .flac files, every
 *                        further write to one fails with ENOSPC.
 * Other files are written as usual. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static atomic_llong flac_bytes;

static int is_flac(int fd)
{
	char link[64], path[4096];
	snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
	ssize_t n = readlink(link, path, sizeof(path) - 1);
	if (n < 5)
		return 0;
	path[n] = '\0';
	return strcmp(path + n - 5, ".flac") == 0;
}

/* Whether a write of bytes at offset (-1: the file position) must fail. */
static int fails(int fd, off_t offset, size_t bytes)
{
	if (!is_flac(fd))
		return 0;
	const char *in_place = getenv("ZV_FAULT_IN_PLACE");
	if (in_place && *in_place == '1') {
		struct stat sb;
		off_t at = offset >= 0 ? offset : lseek(fd, 0, SEEK_CUR);
		if (fstat(fd, &sb) == 0 && at < sb.st_size) {
			errno = EIO;
			return 1;
		}
	}
	const char *after = getenv("ZV_FAULT_AFTER");
	if (after && atomic_fetch_add(&flac_bytes, (long long)bytes) + (long long)bytes > atoll(after)) {
		errno = ENOSPC;
		return 1;
	}
	return 0;
}

ssize_t write(int fd, const void *buf, size_t count)
{
	static ssize_t (*real)(int, const void *, size_t);
	if (!real)
		real = (ssize_t (*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
	if (fails(fd, -1, count))
		return -1;
	return real(fd, buf, count);
}

ssize_t pwrite(int fd, const void *buf, size_t count, off_t offset)
{
	static ssize_t (*real)(int, const void *, size_t, off_t);
	if (!real)
		real = (ssize_t (*)(int, const void *, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
	if (fails(fd, offset, count))
		return -1;
	return real(fd, buf, count, offset);
}

ssize_t pwrite64(int fd, const void *buf, size_t count, off_t offset)
{
	return pwrite(fd, buf, count, offset);
}
