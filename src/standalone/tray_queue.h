// The tray thread's commands to the main thread: a pipe that the main
// loop watches, whose reader hands every command id to tray_queue_handler.
// It holds no memory of the event library, so it may outlive the
// library's close and its memory report.
#pragma once

// Main thread. 0 or an errno value.
int tray_queue_open(void);

// Any thread; a command that does not fit is dropped.
void tray_queue_push(int id);

// Main thread, before the event library closes: the loop no longer reads
// the queue; what the tray thread still pushes stays unread.
void tray_queue_unwatch(void);

// Main thread.
void tray_queue_close(void);
