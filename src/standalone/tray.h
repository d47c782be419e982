// The tray icon and the single-instance guard.
#pragma once

#include <cstdint>

enum tray_cmd {
	TRAY_CMD_QUIT = 0,
	TRAY_CMD_OPEN_RECORDINGS = 1,
};

// Receives the tray's commands on the main thread.
typedef void(tray_command_h)(int id, void *data, void *arg);

bool instance_check(void);
int tray_init(tray_command_h *handler, const char *software);
void tray_set_port(uint16_t port);
// Main thread, once the event loop has ended and before the event library
// closes: the tray's commands are no longer read. tray_close ends the rest.
void tray_loop_close(void);
void tray_close(void);

// The message queue's handler, on the main thread: hands each command to
// the handler given to tray_init.
void tray_queue_handler(int id, void *data, void *arg);
