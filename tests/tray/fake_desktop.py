"""The desktop's services that the tray talks to, as small fakes on the
session bus: the item watcher of the panel, and the notification service.
Each call is appended to a log file as one JSON line.

Usage: fake_desktop.py watcher|notifier LOGFILE
"""
import json
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

WATCHER = "org.kde.StatusNotifierWatcher"
NOTIFICATIONS = "org.freedesktop.Notifications"


class Log:
    def __init__(self, path):
        self.path = path

    def write(self, **record):
        with open(self.path, "a") as f:
            f.write(json.dumps(record) + "\n")


class Watcher(dbus.service.Object):
    def __init__(self, bus, log):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.log = log

    @dbus.service.method(WATCHER, in_signature="s", out_signature="", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        self.log.write(event="register", service=str(service), sender=str(sender))


class Notifier(dbus.service.Object):
    def __init__(self, bus, log):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.log = log
        self.last_id = 0

    @dbus.service.method(NOTIFICATIONS, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        image = hints.get("image-data")
        self.log.write(event="notify", app=str(app), summary=str(summary), body=str(body),
                       image=[int(image[0]), int(image[1]), len(image[6])] if image else None)
        self.last_id += 1
        return self.last_id

    @dbus.service.method(NOTIFICATIONS, in_signature="", out_signature="as")
    def GetCapabilities(self):
        return ["body"]


def main():
    role, log = sys.argv[1], Log(sys.argv[2])
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    if role == "watcher":
        name, obj = WATCHER, Watcher(bus, log)
    else:
        name, obj = NOTIFICATIONS, Notifier(bus, log)
    keep = dbus.service.BusName(name, bus, do_not_queue=True)
    print("ready", flush=True)
    GLib.MainLoop().run()
    del keep, obj


if __name__ == "__main__":
    main()
