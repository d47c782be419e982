#include "runtime_dir.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

int zv_runtime_dir(char *buf, size_t size)
{
	if (!buf || !size)
		return EINVAL;

	// The runtime folder is only taken when it is an absolute path.
	const char *runtime = std::getenv("XDG_RUNTIME_DIR");
	int n;
	if (runtime && runtime[0] == '/')
		n = std::snprintf(buf, size, "%s/zorvane", runtime);
	else
		n = std::snprintf(buf, size, "/tmp/zorvane-%u", static_cast<unsigned>(getuid()));
	if (n < 0 || static_cast<size_t>(n) >= size)
		return ENAMETOOLONG;

	if (mkdir(buf, 0700) && errno != EEXIST)
		return errno;

	struct stat st;
	if (lstat(buf, &st))
		return errno;
	if (!S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 077))
		return EPERM;
	return 0;
}
