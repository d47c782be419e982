// What the desktop side of the tray thread does on the user's request.
#pragma once

#include <cstdint>

// The web port as the main thread last published it, 0 while unknown.
uint16_t tray_port(void);

// The tooltip: the software string.
const char *tray_tooltip(void);

// Opens the page of this instance; nothing while the port is unknown.
void tray_open_page(void);

// Opens the log folder; nothing when it is not known.
void tray_open_logs(void);

// Hands a command (enum tray_cmd) to the main thread.
void tray_post(int cmd);
