// The tray thread's session-bus connection: the notification-area item,
// its menu, its registration with the desktop's item watcher (again after
// every restart of the watcher) and the first-run hint.
#pragma once

struct tray_bus;

// Connects and shows the item, with the first-run hint when asked.
// 0 or an errno value (no session bus).
int tray_bus_open(struct tray_bus **busp, bool hint);

// What the tray thread's poll waits for: the descriptor, its poll events
// and the time-out in milliseconds (-1 for none).
int tray_bus_fd(struct tray_bus *bus);
short tray_bus_events(struct tray_bus *bus);
int tray_bus_timeout(struct tray_bus *bus);

// Handles all that is waiting. 0, or an errno value when the connection
// is lost.
int tray_bus_process(struct tray_bus *bus);

// The web port changed.
void tray_bus_port_changed(struct tray_bus *bus);

// Removes the item and closes the connection.
void tray_bus_close(struct tray_bus *bus);
