#include "sipstack.h"
#include "zvaudio.h"

void zvaudio_open_folder(void)
{
}

namespace {

int init(void)
{
	return 0;
}

int close(void)
{
	return 0;
}

}

extern "C" const struct mod_export exports_zvaudio = {"zvaudio", "sound", init, close};
