#include "webapp_parts.h"

#include "meter.h"
#include "webapp_ws.h"

void webapp_parts_init(void)
{
	webapp_ws_init();
	webapp_meter_init();
}

void webapp_parts_close(void)
{
	webapp_meter_close();
	webapp_ws_close();
}
