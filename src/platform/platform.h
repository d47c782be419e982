// The services the program would take from Windows, on Linux: folders,
// opening a page or folder in the desktop, the message box, console attach,
// the multimedia timer resolution and threads that leave the main loop's
// signals alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <pthread.h>

// The user's home folder: $HOME, else the password database. 0 or ENOENT.
int zv_home_dir(char *buf, size_t size);

// Opens a URL or a folder with the desktop's default application
// (ShellExecute "open"), without a shell: `xdg-open TARGET`, or the command
// named by $ZORVANE_OPENER. Returns at once; 0 when the opener was started,
// EINVAL for an empty target, else the errno value of the start.
int zv_shell_open(const char *target);

// MessageBox with MB_ICONERROR: the text on standard error, and as a desktop
// dialog when a desktop session and a dialog tool exist. Returns when the
// user has closed the dialog.
void zv_message_box(const char *title, const char *text);

// AttachConsole(ATTACH_PARENT_PROCESS): a process here always has the
// streams its parent gave it.
void zv_console_attach();

// timeBeginPeriod(1)/timeEndPeriod(1): the kernel's timers are precise
// already.
void zv_timer_period_begin();
void zv_timer_period_end();

// Starts a thread that blocks the signals the main loop handles, so that
// they always reach the main thread. The result is pthread_create's.
int zv_thread_create(pthread_t *thread, void *(*start)(void *), void *arg);

// WaitOnAddress on a 32-bit value: sleeps while *address holds compare, at
// most timeout_ms milliseconds (-1: no limit); false when the time ran out.
// It may return early: callers check their condition again.
bool zv_wait_on_address(const void *address, int32_t compare, int timeout_ms);
// WakeByAddressSingle and WakeByAddressAll: wake one or every thread that
// waits on address.
void zv_wake_by_address_single(const void *address);
void zv_wake_by_address_all(const void *address);
