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

extern "C" const struct mod_export exports_webapp = {"webapp", "application", init, close};
