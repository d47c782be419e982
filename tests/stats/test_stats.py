"""STATS on "/ws_calls" with a real call: the program on a JACK dummy
server calls Debian's baresip, which sends a tone over Opus."""

import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import callrig  # noqa: E402

PROGRAM = os.environ.get("ZORVANE_PROGRAM", "zorvane-standalone")
RTCP = ("rx_lost", "rx_jitter", "tx_lost", "tx_jitter", "rtt")
FIGURES = ("buffer", "rx_bitrate", "tx_bitrate", "rx_packets", "tx_packets")
ACCOUNT = {"user": "zv", "password": "pw", "domain": "127.0.0.1", "regint": "0"}


def bare(n):
    return {"track": n, "active": False, "call": False}


class StatsDuringACall(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = callrig.Rig()
        try:
            cls.rig.add(callrig.Jack(realtime=True))
            cls.far = cls.rig.add(callrig.FarEnd(cls.rig.root, "far", 5070, 4444))
            cls.zv = cls.rig.add(callrig.Program(cls.rig.root, [ACCOUNT], program=PROGRAM))
            cls.calls = cls.rig.add(callrig.Page(cls.zv.port, "/ws_calls"))
            cls.baresip = cls.rig.add(callrig.Page(cls.zv.port, "/ws_baresip"))
            cls.run_call()
        except BaseException:
            cls.rig.close()
            raise

    @classmethod
    def run_call(cls):
        # Idle STATS first, then one call of about ten seconds that the
        # far end ends.
        callrig.wait_until(lambda: len(callrig.stats_messages(cls.calls)) >= 8, 10)
        cls.dialled = time.monotonic()
        cls.baresip.send({"command": "call", "dial": "sip:peer@127.0.0.1:5070"})
        cls.established, _ = cls.calls.wait(
            lambda o: o.get("1", {}).get("state") == "Established", 15)
        time.sleep(10)
        cls.far_status = cls.far.output()
        cls.hung_up = time.monotonic()
        cls.far.command("hangup")
        cls.closed, _ = cls.calls.wait(lambda o: o.get("callback") == "CLOSED", 10,
                                       since=cls.hung_up)
        time.sleep(1)

    @classmethod
    def tearDownClass(cls):
        cls.rig.close()

    def during_call(self):
        return [o for t, o in callrig.stats_messages(self.calls)
                if self.established < t < self.hung_up]

    def test_messages_every_250_ms_from_2000_ms_with_six_tracks(self):
        msgs = callrig.stats_messages(self.calls)
        # The first one 2 s after the module's init, which ends with the
        # page opened in the browser.
        self.assertGreaterEqual(msgs[0][0] - self.zv.started, 2.0)
        self.assertAlmostEqual(msgs[0][0] - self.zv.ready, 2.0, delta=0.5)
        times = [t for t, _ in msgs]
        gaps = sorted(b - a for a, b in zip(times, times[1:]))
        self.assertGreater(len(gaps), 40)
        self.assertAlmostEqual(gaps[len(gaps) // 2], 0.25, delta=0.04)
        self.assertLess(gaps[-1], 1.0)
        for _, o in msgs:
            self.assertEqual(list(o), ["callback", "tracks"])
            self.assertEqual([e["track"] for e in o["tracks"]], [1, 2, 3, 4, 5, 6])

    def test_without_calls_every_entry_is_bare(self):
        for t, o in callrig.stats_messages(self.calls):
            if t < self.dialled or t > self.closed + 0.3:
                self.assertEqual(o["tracks"], [bare(n) for n in range(1, 7)])

    def test_the_call_is_on_track_1_only(self):
        msgs = self.during_call()
        self.assertGreater(len(msgs), 30)
        for o in msgs:
            self.assertEqual(o["tracks"][1:], [bare(n) for n in range(2, 7)])
            one = o["tracks"][0]
            self.assertEqual(list(one)[:3 + len(FIGURES)], ["track", "active", "call", *FIGURES])
            self.assertTrue(one["active"] and one["call"])

    def test_packet_counts_grow_at_the_packet_rate(self):
        stamped = [(t, o["tracks"][0]) for t, o in callrig.stats_messages(self.calls)
                   if self.established + 1 < t < self.hung_up - 0.5]
        (t0, a), (t1, b) = stamped[0], stamped[-1]
        self.assertGreater(t1 - t0, 6)
        # 20 ms packets: 50 a second each way.
        for key in ("rx_packets", "tx_packets"):
            rate = (b[key] - a[key]) / (t1 - t0)
            self.assertAlmostEqual(rate, 50, delta=8, msg=key)
        counts = [e["rx_packets"] for _, e in stamped]
        self.assertEqual(counts, sorted(counts))

    def test_bitrates_match_the_far_end_after_3_s(self):
        msgs = self.during_call()
        last = msgs[-1]["tracks"][0]
        # The far end's own figures: "audio=<send>/<receive> (bit/s)".
        m = re.findall(r"audio=(\d+)/(\d+) \(bit/s\)", self.far_status)
        self.assertTrue(m, self.far_status[-2000:])
        far_tx, far_rx = int(m[-1][0]), int(m[-1][1])
        self.assertGreater(far_tx, 8000)
        self.assertAlmostEqual(last["rx_bitrate"], far_tx, delta=0.2 * far_tx)
        self.assertAlmostEqual(last["tx_bitrate"], far_rx, delta=0.2 * far_rx + 2000)
        # No figure before a whole window of 3 s has passed.
        self.assertEqual(msgs[0]["tracks"][0]["rx_bitrate"], 0)

    def test_rtcp_members_appear_after_the_first_report(self):
        entries = [o["tracks"][0] for o in self.during_call()]
        with_rtcp = [i for i, e in enumerate(entries) if "rtt" in e]
        self.assertTrue(with_rtcp, "no RTCP figures in a 10 s call")
        first = with_rtcp[0]
        self.assertGreater(first, 0)
        self.assertFalse(any(k in entries[0] for k in RTCP))
        for e in entries[first:]:
            self.assertEqual([k for k in e if k in RTCP], list(RTCP))
        # Loopback: nothing lost, jitter and round trip (which may round to
        # 0 here) well below 100 ms.
        e = entries[-1]
        self.assertEqual((e["rx_lost"], e["tx_lost"]), (0, 0))
        for key in ("rx_jitter", "tx_jitter", "rtt"):
            self.assertLess(e[key], 100000, key)

    def test_jitter_buffer_figures_follow_the_packets(self):
        entries = [o["tracks"][0] for o in self.during_call()]
        last = entries[-1]
        jb = last["jbuf"]
        self.assertEqual(list(jb), ["delay", "jitter", "skew", "packets", "put", "lost", "late",
                                    "late_lost", "oos", "dups", "overflow", "flush"])
        # Every received packet goes through the buffer; on loopback none is
        # lost or late and the far clock is ours. The buffer waits at least
        # its configured minimum and within its range; how far above the
        # minimum, and the arrival jitter, follow the machine: a busy one
        # that holds the main loop back delays packets by tens of ms and
        # more.
        self.assertAlmostEqual(jb["put"], last["rx_packets"], delta=10)
        self.assertLessEqual(jb["packets"], 60)
        self.assertEqual((jb["lost"], jb["late"], jb["late_lost"]), (0, 0, 0))
        delays = sorted(e["jbuf"]["delay"] for e in entries if "jbuf" in e)
        self.assertGreaterEqual(delays[len(delays) // 2], 20)
        self.assertLessEqual(delays[len(delays) // 2], 160)
        self.assertLess(jb["jitter"], 1000)
        self.assertLess(abs(jb["skew"]), 100)
        self.assertEqual(list(last).index("jbuf"), len(last) - 1)


if __name__ == "__main__":
    unittest.main()
