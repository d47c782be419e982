// The icon's menu: com.canonical.dbusmenu at /MenuBar.
#pragma once

#include <cstdint>
#include <systemd/sd-bus.h>

#define TRAY_MENU_PATH "/MenuBar"

enum tray_menu_id {
	IDM_TRAY_OPEN = 100,
	IDM_TRAY_RECORDINGS = 101,
	IDM_TRAY_LOGS = 102,
	IDM_TRAY_QUIT = 103,
};

struct tray_menu {
	uint32_t revision;
	bool page_known; // the web port is known: "Open" is enabled
};

int tray_menu_add(sd_bus *bus, struct tray_menu *menu);

// Follows the web port: a change of the Open entry's state is a new
// layout revision, announced with LayoutUpdated.
void tray_menu_update(sd_bus *bus, struct tray_menu *menu);
