// The first-run hint: a desktop notification that tells where the program
// went, shown until the notification service has accepted it once.
#pragma once

#include <systemd/sd-bus.h>

// True when the hint was never accepted (or that cannot be read).
bool tray_hint_wanted(void);

// Sends the notification; when the service accepts it, the state value
// "TrayHintShown" becomes 1.
void tray_hint_show(sd_bus *bus);
