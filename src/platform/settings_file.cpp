#include "settings_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int write_all(int fd, const char *data, size_t len)
{
	while (len) {
		ssize_t n = write(fd, data, len);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return errno;
		data += n;
		len -= static_cast<size_t>(n);
	}
	return 0;
}

int read_all(int fd, std::string &text)
{
	char block[4096];
	for (;;) {
		ssize_t n = read(fd, block, sizeof(block));
		if (n == 0)
			return 0;
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return errno;
		// The file may have grown since it was measured.
		if (text.size() + static_cast<size_t>(n) > ZV_SETTINGS_MAX)
			return EFBIG;
		text.append(block, static_cast<size_t>(n));
	}
}

}

int zv_settings_read(const char *path, std::string &text)
{
	text.clear();
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	if (fd < 0)
		return errno;

	struct stat st;
	int err = 0;
	if (fstat(fd, &st))
		err = errno;
	else if (S_ISDIR(st.st_mode))
		err = EISDIR;
	else if (!S_ISREG(st.st_mode))
		err = EINVAL;
	else if (static_cast<unsigned long long>(st.st_size) > ZV_SETTINGS_MAX)
		err = EFBIG;
	else
		err = read_all(fd, text);
	(void)close(fd);
	if (err)
		text.clear();
	return err;
}

int zv_settings_write(const char *path, const char *data, size_t len, mode_t create_mode)
{
	if (len > ZV_SETTINGS_MAX)
		return EFBIG;

	const std::string tmp = std::string(path) + ".tmp";
	// A temporary file left by a start that was killed goes first: the new
	// one is made afresh, with the mode asked for.
	(void)unlink(tmp.c_str());
	int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, create_mode);
	if (fd < 0)
		return errno;

	struct stat old;
	int err = 0;
	if (stat(path, &old) == 0 && fchmod(fd, old.st_mode & 07777))
		err = errno;
	if (!err)
		err = write_all(fd, data, len);
	if (!err && fsync(fd))
		err = errno;
	if (close(fd) && !err)
		err = errno;
	if (!err && rename(tmp.c_str(), path))
		err = errno;
	if (err)
		(void)unlink(tmp.c_str());
	return err;
}
