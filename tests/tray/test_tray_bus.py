"""The tray icon on a real session bus (run under dbus-run-session), with the
fake desktop services of fake_desktop.py: registration with the item
watcher, the first-run hint, the menu and its commands, a watcher restart.
"""
import json
import os
import signal
import subprocess
import sys
import time
import unittest

import dbus

from sandbox import Sandbox, wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"
HINT_TITLE = "Zorvane is running"
HINT_TEXT = "Click the Zorvane icon to open it again, right-click it to quit."


class Desktop:
    """The fake watcher and notification service, logging to one file."""

    def __init__(self, root):
        self.log = os.path.join(root, "desktop.log")
        self.procs = {}

    def start(self, role):
        proc = subprocess.Popen([sys.executable, os.path.join(HERE, "fake_desktop.py"), role, self.log],
                                stdout=subprocess.PIPE, text=True)
        assert proc.stdout.readline().strip() == "ready"
        self.procs[role] = proc

    def stop(self, role):
        proc = self.procs.pop(role)
        proc.terminate()
        proc.wait(10)
        proc.stdout.close()

    def close(self):
        for role in list(self.procs):
            self.stop(role)

    def events(self, kind):
        try:
            with open(self.log) as f:
                records = [json.loads(line) for line in f]
        except FileNotFoundError:
            return []
        return [r for r in records if r["event"] == kind]


class TrayOnTheBus(unittest.TestCase):
    def setUp(self):
        self.assertIn("DBUS_SESSION_BUS_ADDRESS", os.environ, "run under dbus-run-session")
        self.box = Sandbox()
        self.addCleanup(self.box.close)
        self.desktop = Desktop(self.box.root)
        self.addCleanup(self.desktop.close)
        self.bus = dbus.SessionBus(private=True)
        self.addCleanup(self.bus.close)

    def start(self, name="run"):
        proc = self.box.start(name=name)
        self.box.wait_ready(proc)
        return proc

    def registration(self, count=1):
        """The item's service as the watcher's count-th registration gave it."""
        found = wait_until(lambda: len(self.desktop.events("register")) >= count)
        self.assertTrue(found, "no registration")
        return self.desktop.events("register")[count - 1]

    def item(self, service, path="/StatusNotifierItem"):
        return self.bus.get_object(service, path)

    def layout(self, service):
        revision, (root_id, root_props, children) = self.item(service, "/MenuBar").GetLayout(
            0, -1, dbus.Array([], signature="s"), dbus_interface=MENU)
        self.assertEqual(root_id, 0)
        self.assertEqual(root_props.get("children-display"), "submenu")
        return revision, [(int(i), {str(k): v for k, v in p.items()}, list(c)) for i, p, c in children]

    def event(self, service, item_id):
        self.item(service, "/MenuBar").Event(item_id, "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0),
                                             dbus_interface=MENU)

    def quit_from_menu(self, proc, service):
        self.event(service, 103)
        self.assertEqual(proc.wait(30), 0, self.box.output(proc))
        self.assertIn("quit from tray menu", self.box.output(proc))

    def settle(self, service):
        """A round trip to the program, then a pause for anything it would
        send on its own."""
        self.layout(service)
        time.sleep(0.5)

    def test_item_registers_and_the_hint_shows_on_the_first_run_only(self):
        box, desktop = self.box, self.desktop
        desktop.start("notifier")
        desktop.start("watcher")
        box.write_port(8123)

        first = self.start("first")
        service = self.registration(1)["service"]
        self.assertTrue(service.startswith(ITEM + "-%d-" % first.pid), service)
        props = self.item(service).GetAll(ITEM, dbus_interface=dbus.PROPERTIES_IFACE)
        self.assertEqual(props["Menu"], "/MenuBar")
        self.assertEqual(props["Status"], "Active")
        self.assertEqual(props["Category"], "ApplicationStatus")
        self.assertFalse(props["ItemIsMenu"])
        self.assertEqual(props["ToolTip"][2], box.output(first).splitlines()[0])
        pixmaps = [(int(w), int(h), len(data)) for w, h, data in props["IconPixmap"]]
        self.assertIn((16, 16, 16 * 16 * 4), pixmaps)
        self.assertIn((48, 48, 48 * 48 * 4), pixmaps)

        self.assertTrue(wait_until(lambda: desktop.events("notify")))
        hint = desktop.events("notify")[0]
        self.assertEqual((hint["summary"], hint["body"]), (HINT_TITLE, HINT_TEXT))
        self.assertEqual(hint["image"], [48, 48, 48 * 48 * 4])
        self.assertTrue(wait_until(lambda: os.path.exists(box.state_file)))
        with open(box.state_file) as f:
            self.assertEqual(f.read(), "1\n")
        self.quit_from_menu(first, service)

        # Later starts register without the hint ...
        second = self.start("second")
        service = self.registration(2)["service"]
        self.settle(service)
        self.assertEqual(len(desktop.events("notify")), 1)
        self.quit_from_menu(second, service)

        # ... until the value is set back to 0.
        with open(box.state_file, "w") as f:
            f.write("0\n")
        third = self.start("third")
        service = self.registration(3)["service"]
        self.assertTrue(wait_until(lambda: len(desktop.events("notify")) == 2))
        self.quit_from_menu(third, service)

    def test_menu_without_a_port(self):
        box = self.box
        self.desktop.start("watcher")
        box.write_no_port()
        proc = self.start()
        service = self.registration()["service"]

        revision, children = self.layout(service)
        self.assertEqual([i for i, _, _ in children], [100, 1, 101, 102, 2, 103])
        by_id = {i: props for i, props, _ in children}
        self.assertEqual(by_id[100]["label"], "_Open Zorvane")
        self.assertEqual(by_id[101]["label"], "Open _recordings folder")
        self.assertEqual(by_id[102]["label"], "Open _log folder")
        self.assertEqual(by_id[103]["label"], "_Quit Zorvane")
        self.assertEqual(by_id[1]["type"], "separator")
        self.assertEqual(by_id[2]["type"], "separator")
        self.assertEqual([bool(by_id[i]["enabled"]) for i in (100, 101, 102, 103)], [False, True, True, True])
        self.assertTrue(all(children_of == [] for _, _, children_of in children))

        # Neither a click on the icon nor the greyed entry opens anything.
        self.item(service).Activate(0, 0, dbus_interface=ITEM)
        self.event(service, 100)
        self.event(service, 102)
        logs = os.path.join(box.config_dir, "logs")
        self.assertTrue(wait_until(lambda: box.opened("run")))
        self.assertEqual(box.opened("run"), [logs])

        self.quit_from_menu(proc, service)

    def test_menu_with_the_port(self):
        box = self.box
        self.desktop.start("watcher")
        box.write_port(8123)
        proc = self.start()
        service = self.registration()["service"]
        page = "http://127.0.0.1:8123/"
        if box.own_page_opened(proc):
            self.assertTrue(wait_until(lambda: page in box.opened("run")))
        before = len(box.opened("run"))

        _, children = self.layout(service)
        self.assertTrue(dict((i, p) for i, p, _ in children)[100]["enabled"])
        self.item(service).Activate(0, 0, dbus_interface=ITEM)
        self.assertTrue(wait_until(lambda: len(box.opened("run")) == before + 1))
        self.event(service, 100)
        self.assertTrue(wait_until(lambda: len(box.opened("run")) == before + 2))
        self.assertEqual(box.opened("run")[before:], [page, page])
        self.quit_from_menu(proc, service)

    def test_watcher_restart_registers_again_without_the_hint(self):
        desktop = self.desktop
        desktop.start("notifier")
        desktop.start("watcher")
        self.box.write_port(8123)
        proc = self.start()
        first = self.registration(1)
        self.assertTrue(wait_until(lambda: desktop.events("notify")))

        desktop.stop("watcher")
        desktop.start("watcher")
        again = self.registration(2)
        self.assertEqual((again["sender"], again["service"]), (first["sender"], first["service"]))
        self.settle(again["service"])
        self.assertEqual(len(desktop.events("notify")), 1)
        self.quit_from_menu(proc, again["service"])

    def test_without_a_watcher_the_program_runs_and_registers_later(self):
        box, desktop = self.box, self.desktop
        desktop.start("notifier")
        box.write_port(8123)
        proc = self.start()
        self.assertEqual(box.query_port(), b"8123\n")

        # No icon shown, so no hint about it either.
        desktop.start("watcher")
        service = self.registration(1)["service"]
        self.settle(service)
        self.assertEqual(desktop.events("notify"), [])
        self.assertFalse(os.path.exists(box.state_file))

        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(30), 0)


if __name__ == "__main__":
    unittest.main()
