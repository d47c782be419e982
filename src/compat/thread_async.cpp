#include "sipstack.h"

int zv_thread_async_init(uint16_t workers)
{
	(void)workers;
	return 0;
}

void zv_thread_async_close()
{
}
