"""The audio engine in the built program: the device dictionary and the
device commands of the page on "/ws_audio", the debug report in the log
file, a JACK server that dies under running streams, and unpaced ALSA null
devices for a stress run of device changes."""

import json
import os
import re
import signal
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "lib"))
from jack_server import JackServer  # noqa: E402
from zvprocess import Program, WebSocket, get  # noqa: E402

ALSA_CONF = os.path.join(HERE, "asound.conf")
START_ERROR = "Error starting Audio, please try reload or select another device..."
WEBAPP_CONF = b"zv_provisioning_host\t127.0.0.1:1\n"
REPORT = (r"WARN  zvaudio_debug\n\tout_ur: (\d+) \n\tin_or: (\d+) \n"
          r"\tring_ur: (\d+) \n\tring_or: (\d+) \n")


class Jack:
    """A JACK server under a private name, started when asked."""

    def __init__(self, name):
        self.name = name
        self.server = None

    def start(self, tries=30):
        self.server = JackServer(self.name, tries=tries)
        return self

    def kill(self):
        """Ends the server as a crash would for its clients."""
        if self.server:
            self.server.stop()


def start_program(jack_name, alsa=False):
    """The program with JACK_DEFAULT_SERVER = jack_name and, with alsa, the
    two ALSA null devices."""
    saved = dict(os.environ)
    os.environ.update(JACK_DEFAULT_SERVER=jack_name, JACK_NO_AUDIO_RESERVATION="1")
    if alsa:
        os.environ["ALSA_CONFIG_PATH"] = ALSA_CONF
    else:
        os.environ.pop("ALSA_CONFIG_PATH", None)
    try:
        p = Program(webapp_conf=WEBAPP_CONF).start()
    finally:
        os.environ.clear()
        os.environ.update(saved)
    # A program that does not come up is not left running.
    try:
        p.page_port = p.port()
        # An open page keeps the program from quitting when the tests' own
        # sockets close.
        p.keep = WebSocket(p.page_port, "/ws_contacts")
    except BaseException:
        p.cleanup()
        raise
    return p


def end_program(p):
    p.keep.close()
    code = p.stop()
    p.cleanup()
    return code


def log_text(p):
    try:
        with open(os.path.join(p.dir, "logs", "zorvane.0.log"), encoding="utf-8",
                  errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def wait_log(p, pattern, count=1, timeout=20):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        found = re.findall(pattern, log_text(p))
        if len(found) >= count:
            return found
        time.sleep(0.05)
    raise AssertionError("%d x %r not in the log:\n%s" % (count, pattern, log_text(p)[-4000:]))


def audio_page(p):
    ws = WebSocket(p.page_port, "/ws_audio")
    return ws, json.loads(ws.recv())


def command(ws, name, ident=None, pushes=1, timeout=10):
    """Sends a device command; returns the dictionaries pushed for it."""
    msg = {"command": name}
    if ident is not None:
        msg["id"] = ident
    ws.send(json.dumps(msg))
    return [json.loads(ws.recv(timeout)) for _ in range(pushes)]


def driver_id(info, display):
    for d in info["drivers"]:
        if d["display"] == display:
            return d["id"]
    raise AssertionError("no driver %s in %r" % (display, info["drivers"]))


def selected(entries):
    return [e["id"] for e in entries if e["selected"]]


class OnJack(unittest.TestCase):
    """One program on a JACK dummy server."""

    @classmethod
    def setUpClass(cls):
        cls.jack = Jack("zvaudio-prog-%d" % os.getpid()).start()
        cls.p = start_program(cls.jack.name)
        wait_log(cls.p, r"zvaudio ready")

    @classmethod
    def tearDownClass(cls):
        end_program(cls.p)
        cls.jack.kill()

    def test_device_dictionary_on_connect(self):
        ws, info = audio_page(self.p)
        ws.close()
        self.assertEqual(list(info), ["drivers", "input", "output"])
        for d in info["drivers"]:
            self.assertEqual(list(d), ["display", "selected", "id"])
        self.assertEqual([d["display"] for d in info["drivers"]], ["ALSA", "OSS", "JACK"])
        self.assertEqual([d["id"] for d in info["drivers"] if d["selected"]],
                         [driver_id(info, "JACK")])
        [entry] = info["input"]
        self.assertEqual(list(entry), ["id", "display", "channels", "first_input_channel",
                                       "selected"])
        self.assertEqual((entry["display"], entry["channels"], entry["first_input_channel"],
                          entry["selected"]), ("system", 2, 0, True))
        [entry] = info["output"]
        self.assertEqual(list(entry), ["id", "display", "selected"])
        self.assertEqual((entry["display"], entry["selected"]), ("system", True))

    def test_debug_report_every_ten_seconds(self):
        # A stalled client makes the server report an xrun: the counters
        # change, so the next report is written.
        wait_log(self.p, r"zvaudio/start: success")
        self.p.proc.send_signal(signal.SIGSTOP)
        time.sleep(0.3)
        self.p.proc.send_signal(signal.SIGCONT)
        [report] = wait_log(self.p, REPORT, timeout=25)[:1]
        self.assertGreater(sum(int(n) for n in report), 0)

    def test_device_commands(self):
        ws, info = audio_page(self.p)
        jack = driver_id(info, "JACK")
        alsa = driver_id(info, "ALSA")
        system = info["input"][0]["id"]
        starts = len(re.findall(r"zvaudio/start: success", log_text(self.p)))

        # first_input_channel: kept when in range, 99 always, else 0.
        for asked, listed in [(1, 1), (2, 0), (99, 99), (-3, 0), ("1", 0)]:
            with self.subTest(first_input_channel=asked):
                [info] = command(ws, "first_input_channel", asked)
                self.assertEqual(info["input"][0]["first_input_channel"], listed)
                self.assertNotIn("error_msg", info)

        # Devices that do not exist fall back to the driver's defaults.
        [info] = command(ws, "input", 9999)
        self.assertEqual(selected(info["input"]), [system])
        [info] = command(ws, "output", -7)
        self.assertEqual(len(selected(info["output"])), 1)
        starts += 7
        wait_log(self.p, r"zvaudio/start: success", count=starts)

        # A driver without devices: the lists, then the error.
        first, second = command(ws, "driver", alsa, pushes=2)
        self.assertEqual(list(first), ["drivers", "input", "output"])
        self.assertEqual((first["input"], first["output"]), ([], []))
        self.assertEqual(second["error_msg"], START_ERROR)
        self.assertEqual(selected(second["drivers"]), [alsa])
        wait_log(self.p, r"zvaudio/start: invalid input device")

        # Reload keeps the driver: the same error after the pause.
        started = time.monotonic()
        first, second = command(ws, "reload", pushes=2)
        self.assertGreaterEqual(time.monotonic() - started, 0.4)
        self.assertEqual(selected(second["drivers"]), [alsa])
        self.assertEqual(second["error_msg"], START_ERROR)

        # Back on JACK, the streams run again.
        [info] = command(ws, "driver", jack)
        self.assertNotIn("error_msg", info)
        self.assertEqual(selected(info["input"]), [system])
        wait_log(self.p, r"zvaudio/start: success", count=starts + 1)
        self.assertTrue(ws.no_message(0.5))
        ws.close()


class JackDies(unittest.TestCase):
    """The JACK server dies under the running streams: the program stays
    responsive, the page learns it, and the program still ends cleanly."""

    def setUp(self):
        self.jack = Jack("zvaudio-dies-%d" % os.getpid()).start()
        self.p = None

    def tearDown(self):
        if self.p:
            end_program(self.p)
        self.jack.kill()

    def answers(self):
        started = time.monotonic()
        status, _, body = get(self.p.page_port, "/version")
        self.assertEqual((status, body), (200, b"v26.11.0-stable"))
        return time.monotonic() - started

    def test_main_loop_runs_on_after_the_server_dies(self):
        self.p = start_program(self.jack.name)
        wait_log(self.p, r"zvaudio/start: success")
        ws, info = audio_page(self.p)
        self.assertEqual(selected(info["input"]), [info["input"][0]["id"]])

        # The watchdog's restart leaves the streams of the lost server open
        # and tells the page that nothing plays.
        self.jack.kill()
        lists = json.loads(ws.recv(10))
        self.assertEqual(list(lists), ["drivers", "input", "output"])
        self.assertEqual(json.loads(ws.recv(5))["error_msg"], START_ERROR)
        wait_log(self.p, r"WARN  zvaudio: audio stream stopped, restarting")
        wait_log(self.p, r"WARN  zvaudio: the streams of the lost JACK server stay open")

        # HTTP, a new page and the page's commands are answered at once.
        for _ in range(6):
            self.assertLess(self.answers(), 2.0)
            time.sleep(0.3)
        late, current = audio_page(self.p)
        self.assertEqual(current["error_msg"], START_ERROR)
        late.close()
        # A page that connects has the dictionary sent to every page.
        while not ws.no_message(0.3):
            pass
        self.jack.start()
        for name, ident in [("reload", None), ("driver", driver_id(lists, "ALSA")),
                            ("driver", driver_id(lists, "JACK"))]:
            started = time.monotonic()
            first, second = command(ws, name, ident, pushes=2)
            self.assertLess(time.monotonic() - started, 3.0)
            self.assertEqual(second["error_msg"], START_ERROR)
        self.assertLess(self.answers(), 2.0)
        ws.close()

        # Ending the program neither hangs on the old streams nor trips
        # over the lost server.
        self.p.keep.close()
        self.assertEqual(self.p.stop(timeout=15), 0)
        self.assertNotIn("Assertion", self.p.output())
        self.p.cleanup()
        self.p = None

    def test_other_drivers_go_on_when_the_server_is_gone(self):
        self.p = start_program(self.jack.name, alsa=True)
        wait_log(self.p, r"zvaudio/start: success")
        ws, info = audio_page(self.p)
        alsa = driver_id(info, "ALSA")
        command(ws, "driver", alsa)
        wait_log(self.p, r"zvaudio/start: success", count=2)

        self.jack.kill()
        time.sleep(1)
        [info] = command(ws, "reload")
        self.assertEqual(selected(info["drivers"]), [alsa])
        self.assertEqual(len(info["input"]), 2)
        wait_log(self.p, r"WARN  zvaudio: the JACK server went away")
        wait_log(self.p, r"zvaudio/start: success", count=3)
        self.assertTrue(ws.no_message(1.0))
        ws.close()
        self.p.keep.close()
        self.assertEqual(self.p.stop(timeout=15), 0)
        self.assertNotIn("Assertion", self.p.output())
        self.p.cleanup()
        self.p = None


class OnAlsaNull(unittest.TestCase):
    """Unpaced null devices: the callbacks run as fast as they can while the
    page changes devices over and over."""

    def test_device_changes_under_unpaced_streams(self):
        p = start_program("zvaudio-none-%d" % os.getpid(), alsa=True)
        try:
            wait_log(p, r"zvaudio/start: success")
            ws, info = audio_page(p)
            self.assertEqual([d["display"] for d in info["drivers"]], ["ALSA", "OSS"])
            self.assertEqual([(e["display"], e["channels"]) for e in info["input"]],
                             [("zvnull", 64), ("default", 64)])
            rounds = 40
            for n in range(rounds):
                device = info["input"][n % 2]["id"]
                for name, ident in [("input", device), ("output", device),
                                    ("first_input_channel", [0, 63, 64, 99][n % 4]),
                                    ("reload", None)]:
                    [info] = command(ws, name, ident)
                    self.assertNotIn("error_msg", info, (n, name))
            wait_log(p, r"zvaudio/start: success", count=1 + 4 * rounds)
            self.assertEqual(get(p.page_port, "/version")[0], 200)
            # The counters moved: unpaced devices never keep the ring level.
            wait_log(p, REPORT, timeout=15)
            ws.close()
        finally:
            code = end_program(p)
        self.assertEqual(code, 0)


if __name__ == "__main__":
    unittest.main()
