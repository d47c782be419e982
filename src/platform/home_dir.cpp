#include "platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <unistd.h>
#include <vector>

int zv_home_dir(char *buf, size_t size)
{
	if (!buf || !size)
		return EINVAL;

	const char *home = std::getenv("HOME");
	std::vector<char> pwbuf;
	if (!home || !*home) {
		long max = sysconf(_SC_GETPW_R_SIZE_MAX);
		pwbuf.resize(max > 0 ? static_cast<size_t>(max) : 16384);
		struct passwd pw, *result = nullptr;
		if (getpwuid_r(getuid(), &pw, pwbuf.data(), pwbuf.size(), &result) || !result ||
		    !result->pw_dir || !*result->pw_dir)
			return ENOENT;
		home = result->pw_dir;
	}

	if (std::strlen(home) >= size)
		return ENAMETOOLONG;
	std::strcpy(buf, home);
	return 0;
}
