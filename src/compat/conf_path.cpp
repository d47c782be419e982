#include "sipstack.h"

#include <climits>
#include <cstring>

namespace {

char conf_dir[PATH_MAX];

}

int zv_conf_path_set(const char *path)
{
	if (!path || std::strlen(path) >= sizeof(conf_dir))
		return ENOMEM;
	std::strcpy(conf_dir, path);
	conf_path_set(conf_dir);
	return 0;
}
