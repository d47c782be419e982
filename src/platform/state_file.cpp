#include "state_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform.h"

namespace {

int state_dir(std::string &dir)
{
	const char *state = std::getenv("XDG_STATE_HOME");
	if (state && state[0] == '/') {
		dir = state;
	}
	else {
		char home[512];
		int err = zv_home_dir(home, sizeof(home));
		if (err)
			return err;
		dir = std::string(home) + "/.local/state";
	}
	dir += "/zorvane";
	return 0;
}

// Creates every missing folder of an absolute path.
int make_dirs(const std::string &dir)
{
	for (size_t pos = 1; pos <= dir.size(); ++pos) {
		if (pos < dir.size() && dir[pos] != '/')
			continue;
		std::string part = dir.substr(0, pos);
		if (mkdir(part.c_str(), 0700) && errno != EEXIST)
			return errno;
	}
	return 0;
}

int write_all(int fd, const char *text, size_t len)
{
	while (len) {
		ssize_t n = write(fd, text, len);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return errno;
		text += n;
		len -= static_cast<size_t>(n);
	}
	return 0;
}

bool valid_name(const char *name)
{
	return name && *name && !std::strchr(name, '/') && std::strcmp(name, ".") &&
	       std::strcmp(name, "..");
}

}

int zv_state_get_u32(const char *name, uint32_t *value)
{
	if (!valid_name(name) || !value)
		return EINVAL;

	std::string dir;
	int err = state_dir(dir);
	if (err)
		return err;

	FILE *f = std::fopen((dir + "/" + name).c_str(), "re");
	if (!f)
		return errno;
	char text[32] = "";
	size_t len = std::fread(text, 1, sizeof(text) - 1, f);
	std::fclose(f);
	text[len] = '\0';

	if (text[0] < '0' || text[0] > '9')
		return EPROTO;
	char *end = nullptr;
	errno = 0;
	unsigned long long v = std::strtoull(text, &end, 10);
	if (errno || v > UINT32_MAX || (std::strcmp(end, "\n") && *end))
		return EPROTO;

	*value = static_cast<uint32_t>(v);
	return 0;
}

int zv_state_set_u32(const char *name, uint32_t value)
{
	if (!valid_name(name))
		return EINVAL;

	std::string dir;
	int err = state_dir(dir);
	if (!err)
		err = make_dirs(dir);
	if (err)
		return err;

	std::string file = dir + "/" + name;
	std::string temp = file + ".XXXXXX";
	int fd = mkostemp(temp.data(), O_CLOEXEC);
	if (fd < 0)
		return errno;

	char text[16];
	int len = std::snprintf(text, sizeof(text), "%u\n", static_cast<unsigned>(value));
	err = write_all(fd, text, static_cast<size_t>(len));
	if (!err && fsync(fd))
		err = errno;
	if (close(fd) && !err)
		err = errno;
	if (!err && rename(temp.c_str(), file.c_str()))
		err = errno;
	if (err)
		(void)unlink(temp.c_str());
	return err;
}
