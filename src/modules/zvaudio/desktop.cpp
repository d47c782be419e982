#include "record.h"
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The value of XDG_DESKTOP_DIR in user-dirs.dirs, with $HOME expanded.
bool from_user_dirs(const std::string &home, std::string &out)
{
	const char *config = std::getenv("XDG_CONFIG_HOME");
	std::string file =
		(config && *config ? std::string(config) : home + "/.config") + "/user-dirs.dirs";
	FILE *fp = std::fopen(file.c_str(), "r");
	if (!fp)
		return false;

	char line[1024];
	bool found = false;
	while (!found && std::fgets(line, sizeof(line), fp)) {
		const char *p = line;
		while (*p == ' ' || *p == '\t')
			++p;
		if (std::strncmp(p, "XDG_DESKTOP_DIR=\"", 17) != 0)
			continue;
		p += 17;
		const char *end = std::strchr(p, '"');
		if (!end)
			continue;
		std::string value(p, end);
		if (value.compare(0, 5, "$HOME") == 0)
			value = home + value.substr(5);
		if (!value.empty() && value[0] == '/') {
			out = value;
			found = true;
		}
	}
	std::fclose(fp);
	return found;
}

}

int desktop_dir(char *buf, size_t size)
{
	char home[512];
	if (zv_home_dir(home, sizeof(home)) || !*home)
		return ENOENT;

	std::string dir;
	if (!from_user_dirs(home, dir))
		dir = std::string(home) + "/Desktop";
	if (dir.size() + 1 > size)
		return ENOENT;
	std::memcpy(buf, dir.c_str(), dir.size() + 1);
	return 0;
}
