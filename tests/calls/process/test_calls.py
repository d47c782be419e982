"""Calls placed from the page and calls from a real far end (Debian's
baresip), on the numbered tracks, as the page sees them on "/ws_calls"."""

import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lib"))
import zvcall  # noqa: E402

zvcall.in_private_network()

from farend import write_tone  # noqa: E402
from zvcall import CallTest, state_of  # noqa: E402

FAR = "peer@127.0.0.1:5070"
FAR_PEER = "sip:peer@127.0.0.1:5070;transport=udp"
OURS = "sip:zv@127.0.0.1:%d" % zvcall.SIP_PORT


def peak(wav, skip_seconds=0.5):
    ch, samples = wav
    start = int(48000 * ch * skip_seconds)
    return max((abs(s) for s in samples[start:]), default=0)


class Outgoing(CallTest):
    def test_call_is_heard_and_both_hang_ups_free_the_track(self):
        wav = os.path.join(self.root, "tone.wav")
        write_tone(wav, 8000, 8000, seconds=20)
        far = self.farend("far", 5070, 4444, wav, answer="auto")

        # The local input: beeps into the program's capture ports.
        env = dict(os.environ, JACK_DEFAULT_SERVER=self.jack.name)
        metro = subprocess.Popen(["jack_metro", "-n", "beeps", "-b", "600", "-f", "880",
                                  "-A", "0.5", "-D", "80"], env=env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(metro.wait)
        self.addCleanup(metro.terminate)
        subprocess.run(["jack_wait", "-w", "-t", "5"], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        for port in ("PortAudio:in_0", "PortAudio:in_1"):
            for _ in range(50):
                if subprocess.run(["jack_connect", "beeps:600_bpm", port], env=env,
                                  stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL).returncode == 0:
                    break
                time.sleep(0.1)

        self.page.send_baresip(command="call", dial=FAR)
        self.assertEqual({"1": {"peer": FAR_PEER, "state": "Outgoing", "ch": 1,
                                "chmix": "Stereo", "volume": 1.0, "track": 1}},
                         self.page.next())
        got = self.page.until(lambda m: state_of(m, "1") == "Established")
        self.assertEqual({"1": {"peer": FAR_PEER, "state": "Established", "ch": 1,
                                "chmix": "Stereo", "volume": 1.0, "track": 1}}, got[-1])
        self.assertTrue(all("callback" not in m for m in got), got)
        time.sleep(3)

        # The far end hangs up: CLOSED with the library's reason, at once
        # followed by the calls object without the track.
        far.hangup()
        self.assertEqual({"callback": "CLOSED", "message": "Connection reset by peer"},
                         self.page.next())
        self.assertEqual({}, self.page.next())
        self.assertGreater(peak(far.last_received()), 2000, "the far end heard silence")

        # Our own hang-up: the calls object only.
        closed = far.count("CALL_CLOSED")
        self.page.send_baresip(command="call", dial=FAR)
        self.page.until(lambda m: state_of(m, "1") == "Established")
        self.page.send_calls(command="hangup", key="1")
        self.assertEqual({}, self.page.next())
        self.assertEqual([], self.page.quiet(1.0))
        far.wait_event("CALL_CLOSED", start=0)
        end = time.monotonic() + 10
        while far.count("CALL_CLOSED") <= closed and time.monotonic() < end:
            time.sleep(0.05)
        self.assertGreater(far.count("CALL_CLOSED"), closed)

    def test_dial_text_with_line_breaks_never_reaches_sip(self):
        self.page.send_baresip(command="call", dial="peer@127.0.0.1:5070\r\nX-Evil: 1")
        self.assertEqual({"callback": "CLOSED",
                          "message": "peer@127.0.0.1:5070\r\nX-Evil: 1: Invalid argument [22]"},
                         self.page.next())
        self.assertNotIn("connecting to", self.program.output())


class Incoming(CallTest):
    def test_seven_callers_with_manual_answer(self):
        wav = os.path.join(self.root, "tone.wav")
        write_tone(wav, 4000, 4000, seconds=30)
        far = self.farend("far", 5070, 4444, wav)

        for n in range(1, 7):
            far.dial(OURS)
            got = self.page.until(lambda m: m.get("callback") == "INCOMING")
            self.assertEqual({"callback": "INCOMING", "peeruri": "sip:peer@127.0.0.1:5070",
                              "key": str(n)}, got[-1])
            calls = got[-2]
            self.assertEqual({"peer": "sip:peer@127.0.0.1:5070", "state": "Incoming",
                              "ch": 2 * n - 1, "chmix": "Stereo", "volume": 1.0, "track": n},
                             calls[str(n)])
            self.assertEqual(n, len(calls))

        # The seventh INVITE is refused before any call exists: the far end
        # hears 486 "Max Calls", the page nothing.
        before = far.count("CALL_CLOSED")
        far.dial(OURS)
        end = time.monotonic() + 10
        while far.count("CALL_CLOSED") == before and time.monotonic() < end:
            time.sleep(0.05)
        closed = [e for e in far.events if e.get("type") == "CALL_CLOSED"]
        self.assertEqual(before + 1, len(closed))
        self.assertIn("486 Max Calls", closed[-1].get("param", ""))
        self.assertEqual([], self.page.quiet(1.0))

        # A freed track takes the next caller.
        self.page.send_calls(command="hangup", key="3")
        self.assertNotIn("3", self.page.next())
        far.dial(OURS)
        got = self.page.until(lambda m: m.get("callback") == "INCOMING")
        self.assertEqual("3", got[-1]["key"])
        self.assertEqual(5, got[-2]["3"]["ch"])

        # Accepting a caller establishes the call on its track.
        self.page.send_calls(command="accept", key="1")
        got = self.page.until(lambda m: state_of(m, "1") == "Established")
        self.assertEqual("Incoming", got[-1]["2"]["state"])


class Binding(CallTest):
    def test_answered_call_is_metered_on_its_own_track(self):
        # A caller rings on track 1 while the page's own call on track 2 is
        # answered: that call's audio belongs to track 2, whatever the
        # order of the tracks.
        wav = os.path.join(self.root, "tone.wav")
        write_tone(wav, 12000, 12000, seconds=30)
        caller = self.farend("caller", 5070, 4444, wav)
        callee = self.farend("callee", 5080, 4454, wav, answer="auto")
        caller.dial(OURS)
        self.page.until(lambda m: m.get("callback") == "INCOMING")
        self.page.send_baresip(command="call", dial="peer@127.0.0.1:5080")
        self.page.until(lambda m: state_of(m, "2") == "Established")
        meter = zvcall.WebSocket(zvcall.PAGE_PORT, "/ws_meter")
        self.addCleanup(meter.close)
        time.sleep(1)
        self.assertGreater(zvcall.meter_level(meter, 3), -20.0)
        self.assertLess(zvcall.meter_level(meter, 1), -60.0)


class AutoAnswer(CallTest):
    auto_answer = True

    def test_callers_are_answered_without_an_offer(self):
        wav = os.path.join(self.root, "tone.wav")
        write_tone(wav, 4000, 4000, seconds=10)
        far = self.farend("far", 5070, 4444, wav)
        far.dial(OURS)
        got = self.page.until(lambda m: state_of(m, "1") == "Established")
        self.assertEqual("Incoming", state_of(got[0], "1"))
        self.assertTrue(all(m.get("callback") != "INCOMING" for m in got), got)
        far.wait_event("CALL_ESTABLISHED")


if __name__ == "__main__":
    unittest.main()
