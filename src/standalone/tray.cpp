#include "tray.h"

// Until the desktop tray exists, the program runs as the only instance and
// without an icon.

bool instance_check(void)
{
	return false;
}

int tray_init(tray_command_h *handler, const char *software)
{
	(void)handler;
	(void)software;
	return 0;
}

void tray_set_port(uint16_t port)
{
	(void)port;
}

void tray_close(void)
{
}
