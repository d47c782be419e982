// The notification-area item: org.kde.StatusNotifierItem at
// /StatusNotifierItem, its menu at /MenuBar.
#pragma once

#include <systemd/sd-bus.h>

#define TRAY_SNI_PATH "/StatusNotifierItem"

int tray_sni_add(sd_bus *bus);
