#include "sipstack.h"


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

extern "C" const struct mod_export exports_g722 = {"g722", "codec", init, close};
