#include "tray_bus.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include "tray_hint.h"
#include "tray_menu.h"
#include "tray_sni.h"

#define WATCHER_NAME "org.kde.StatusNotifierWatcher"

struct tray_bus {
	sd_bus *bus;
	tray_menu menu;
	bool hint;     // the first-run hint goes with the first registration
	char name[64]; // our well-known name
};

namespace {

int on_registered(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	tray_bus *b = static_cast<tray_bus *>(userdata);
	const bool shown = !sd_bus_message_is_method_error(m, nullptr);
	if (shown && b->hint)
		tray_hint_show(b->bus);
	b->hint = false;
	return 1;
}

void register_item(tray_bus *b)
{
	(void)sd_bus_call_method_async(b->bus, nullptr, WATCHER_NAME, "/StatusNotifierWatcher",
				       WATCHER_NAME, "RegisterStatusNotifierItem", on_registered, b,
				       "s", b->name);
}

int on_name(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	tray_bus *b = static_cast<tray_bus *>(userdata);
	// Without the well-known name the item goes by the connection's own.
	const char *unique = nullptr;
	if (sd_bus_message_is_method_error(m, nullptr) &&
	    sd_bus_get_unique_name(b->bus, &unique) >= 0)
		std::snprintf(b->name, sizeof(b->name), "%s", unique);
	register_item(b);
	return 1;
}

// A watcher that appears (the desktop's panel started or restarted) has no
// items: register again, without the hint.
int on_watcher_owner(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	tray_bus *b = static_cast<tray_bus *>(userdata);
	const char *name, *old_owner, *new_owner;
	if (sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) < 0)
		return 0;
	if (*new_owner)
		register_item(b);
	return 0;
}

}

int tray_bus_open(tray_bus **busp, bool hint)
{
	tray_bus *b = new tray_bus{};
	b->hint = hint;
	std::snprintf(b->name, sizeof(b->name), "org.kde.StatusNotifierItem-%d-1",
		      static_cast<int>(getpid()));

	int r = sd_bus_open_user(&b->bus);
	if (r >= 0)
		r = tray_sni_add(b->bus);
	if (r >= 0)
		r = tray_menu_add(b->bus, &b->menu);
	if (r >= 0)
		r = sd_bus_add_match_async(
			b->bus, nullptr,
			"type='signal',sender='org.freedesktop.DBus',"
			"interface='org.freedesktop.DBus',member='NameOwnerChanged',"
			"arg0='" WATCHER_NAME "'",
			on_watcher_owner, nullptr, b);
	if (r >= 0)
		r = sd_bus_request_name_async(b->bus, nullptr, b->name, 0, on_name, b);
	if (r < 0) {
		tray_bus_close(b);
		return -r;
	}

	*busp = b;
	return 0;
}

int tray_bus_fd(tray_bus *b)
{
	return sd_bus_get_fd(b->bus);
}

short tray_bus_events(tray_bus *b)
{
	int events = sd_bus_get_events(b->bus);
	return static_cast<short>(events < 0 ? 0 : events);
}

int tray_bus_timeout(tray_bus *b)
{
	uint64_t until;
	if (sd_bus_get_timeout(b->bus, &until) < 0 || until == UINT64_MAX)
		return -1;

	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	const uint64_t now_us = static_cast<uint64_t>(now.tv_sec) * 1000000 +
				static_cast<uint64_t>(now.tv_nsec) / 1000;
	if (until <= now_us)
		return 0;
	const uint64_t ms = (until - now_us + 999) / 1000;
	return ms > 60000 ? 60000 : static_cast<int>(ms);
}

int tray_bus_process(tray_bus *b)
{
	for (;;) {
		int r = sd_bus_process(b->bus, nullptr);
		if (r < 0)
			return -r;
		if (r == 0)
			return 0;
	}
}

void tray_bus_port_changed(tray_bus *b)
{
	tray_menu_update(b->bus, &b->menu);
}

void tray_bus_close(tray_bus *b)
{
	if (!b)
		return;
	sd_bus_flush_close_unref(b->bus);
	delete b;
}
