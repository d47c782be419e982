"""The meter lines on "/ws_meter" during real calls: the program on a JACK
dummy server, far ends (Debian's baresip) with tones of known levels calling
in; the track's volume and channel mode set over "/ws_calls"; the recording
time while "record" is on."""

import json
import math
import os
import re
import socket
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
import zvcall  # noqa: E402

zvcall.in_private_network()

from farend import write_tone  # noqa: E402
from zvcall import CallTest, WebSocket, state_of  # noqa: E402

OURS = "sip:zv@127.0.0.1:%d" % zvcall.SIP_PORT
A_LEFT, A_RIGHT = 12000, 3000
B_LEVEL = 6000
TOLERANCE_DB = 2.5


def db(amplitude):
    return 20 * math.log10(amplitude / 32767)


class Meter:
    """Every line of "/ws_meter" with the moment it arrived."""

    def __init__(self):
        self.ws = WebSocket(zvcall.PAGE_PORT, "/ws_meter")
        self.lines = []
        self.done = False
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while not self.done:
            try:
                data = self.ws.recv(1)
            except socket.timeout:
                continue
            except OSError:
                return
            self.lines.append((time.monotonic(), data.decode()))

    def between(self, start, end):
        return [line for t, line in list(self.lines) if start <= t < end]

    def watch(self, seconds, settle=0.6):
        """The lines of seconds after a change has settled."""
        time.sleep(settle)
        start = time.monotonic()
        time.sleep(seconds)
        return self.between(start, time.monotonic())

    def close(self):
        self.done = True
        self.thread.join(3)
        self.ws.close()


def level(lines, slot, side):
    """The median dB of one slot's side over lines ("inf" as minus
    infinity)."""
    vals = sorted(-math.inf if v == "inf" else float(v)
                  for v in (line.split(" ")[2 + 2 * slot + side] for line in lines))
    return vals[len(vals) // 2]


class Meters(CallTest):
    auto_answer = True

    def setUp(self):
        super().setUp()
        self.meter = Meter()
        self.addCleanup(self.meter.close)

    def caller(self, name, sip, ctrl, left, right, freq, key):
        wav = os.path.join(self.root, name + ".wav")
        write_tone(wav, left, right, freq, freq, seconds=60)
        far = self.farend(name, sip, ctrl, wav)
        far.dial(OURS)
        self.page.until(lambda m: state_of(m, key) == "Established")
        far.wait_event("CALL_ESTABLISHED")
        return far

    def assertLevels(self, lines, slot, expected, what):
        for side, amplitude in enumerate(expected):
            got = level(lines, slot, side)
            self.assertLess(abs(got - db(amplitude)), TOLERANCE_DB,
                            "%s, %s: %.1f dB, expected %.1f dB"
                            % (what, "LR"[side], got, db(amplitude)))

    def test_lines_follow_the_callers_tone_volume_and_channel_mode(self):
        self.caller("a", 5070, 4444, A_LEFT, A_RIGHT, 440.0, "1")
        self.caller("b", 5080, 4454, B_LEVEL, B_LEVEL, 1000.0, "2")
        lines = self.meter.watch(3)

        # One line about every 150 ms, each the time, "0" and 64 levels.
        times = [t for t, _ in self.meter.lines]
        gaps = sorted(b - a for a, b in zip(times, times[1:]))
        self.assertGreater(len(gaps), 20)
        self.assertAlmostEqual(gaps[len(gaps) // 2], 0.15, delta=0.03)
        self.assertLess(gaps[-1], 1.0)
        self.assertTrue(14 <= len(lines) <= 26, len(lines))
        for line in lines:
            fields = line.split(" ")
            self.assertEqual(66, len(fields), line)
            self.assertEqual(["0:00:00", "0"], fields[:2])
            self.assertTrue(all(re.fullmatch(r"inf|-?\d+\.\d", f) for f in fields[2:]), line)
            # The silent local input (slot 0) and every slot without a call
            # (all but 1 and 3).
            self.assertEqual(["inf"] * 4, fields[2:4] + fields[6:8], line)
            self.assertEqual(["inf"] * 56, fields[10:], line)

        # A's track 1 is slot 1, B's track 2 slot 3.
        self.assertLevels(lines, 3, (B_LEVEL, B_LEVEL), "B")
        cases = [
            ([], (A_LEFT, A_RIGHT), "stereo"),
            ([("volume", "0.5")], (A_LEFT / 2, A_RIGHT / 2), "volume 0.5"),
            ([("volume", "1"), ("chmix", None)], (A_LEFT, A_LEFT), "Mono L"),
            ([("chmix", None)], (A_RIGHT, A_RIGHT), "Mono R"),
            ([("chmix", None), ("volume", "0.25")], (A_LEFT / 4, A_RIGHT / 4), "stereo, 0.25"),
        ]
        for commands, expected, what in cases:
            for command, value in commands:
                msg = {"command": command, "key": "1"}
                if value is not None:
                    msg["value"] = value
                self.page.send_calls(**msg)
                self.page.next()
            lines = self.meter.watch(1.5)
            self.assertLevels(lines, 1, expected, what)
            # B's track is untouched by A's settings.
            self.assertLevels(lines, 3, (B_LEVEL, B_LEVEL), what + ", B")

        # After the hang-up the slot goes back to silence.
        self.page.send_calls(command="hangup", key="1")
        self.page.until(lambda m: "1" not in m and "callback" not in m)
        lines = self.meter.watch(1)
        self.assertEqual({"inf"}, {line.split(" ")[k] for line in lines for k in (4, 5)})

    def test_the_time_field_runs_while_recording(self):
        self.caller("a", 5070, 4444, A_LEFT, A_LEFT, 440.0, "1")
        options = WebSocket(zvcall.PAGE_PORT, "/ws_options")
        self.addCleanup(options.close)
        options.send(json.dumps({"key": "record", "value": "true"}))
        self.program.wait_for(r"zvaudio/record: start ")
        lines = self.meter.watch(3.5, settle=0)
        options.send(json.dumps({"key": "record", "value": "false"}))
        self.program.wait_for(r"zvaudio/record: track 0 closed")
        after = self.meter.watch(1)

        stamps = [line.split(" ")[0] for line in lines]
        for stamp in stamps:
            self.assertRegex(stamp, r"^0:00:0\d$")
        self.assertEqual(stamps, sorted(stamps))
        self.assertEqual("0:00:00", stamps[0])
        self.assertIn(stamps[-1], ("0:00:02", "0:00:03", "0:00:04"))
        # Each second's lines in a row, about 1000 / 150 of them.
        for second in ("0:00:01", "0:00:02"):
            self.assertTrue(4 <= stamps.count(second) <= 10, stamps)
        self.assertEqual({"0:00:00"}, {line.split(" ")[0] for line in after})
        # The recorded call is metered as before.
        self.assertLevels(lines, 1, (A_LEFT, A_LEFT), "while recording")


if __name__ == "__main__":
    unittest.main()
