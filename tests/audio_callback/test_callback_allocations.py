"""What PortAudio's callback thread does during a real call: the built
program, with the callback probe preloaded, on a JACK dummy server, calls
Debian's baresip, which answers and sends a tone over Opus. The probe counts
the allocations and frees made inside the stream callbacks.

The audio callback must not allocate or free memory, nor wait on a
condition; the counts are printed with every run."""

import os
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
import callrig  # noqa: E402
import probe  # noqa: E402

PROGRAM = os.environ.get("ZORVANE_PROGRAM", "zorvane-standalone")
ACCOUNT = {"user": "zv", "password": "pw", "domain": "127.0.0.1", "regint": "0"}
SECONDS = 5


class CallbackDuringACall(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = callrig.Rig()
        try:
            cls.rig.add(callrig.Jack())
            cls.far = cls.rig.add(callrig.FarEnd(cls.rig.root, "far", 5070, 4444))
            cls.probe_out = os.path.join(cls.rig.root, "probe")
            with probe.preloaded(cls.probe_out):
                cls.zv = cls.rig.add(callrig.Program(cls.rig.root, [ACCOUNT], program=PROGRAM))
            cls.calls = cls.rig.add(callrig.Page(cls.zv.port, "/ws_calls"))
            baresip = cls.rig.add(callrig.Page(cls.zv.port, "/ws_baresip"))
            # The account's user agent comes up a moment after the page.
            callrig.wait_until(lambda: len(callrig.stats_messages(cls.calls)) >= 8, 10)
            baresip.send({"command": "call", "dial": "sip:peer@127.0.0.1:5070"})
            cls.calls.wait(lambda o: o.get("1", {}).get("state") == "Established", 15)
            # The receive buffer fills and the transmit path starts.
            time.sleep(1.5)
            cls.window = probe.watch(cls.probe_out, SECONDS)
            stats = [o["tracks"][0] for _, o in callrig.stats_messages(cls.calls)]
            cls.rx_packets = stats[-1].get("rx_packets", 0) if stats else 0
            cls.report()
        except BaseException:
            cls.rig.close()
            raise

    @classmethod
    def report(cls):
        w = cls.window
        periods = max(1, w.callbacks("input"))
        inside, thread = w.allocations("callback"), w.allocations("thread")
        print("\ncallback thread over %d s of a call, %d input and %d output callbacks:" %
              (SECONDS, w.callbacks("input"), w.callbacks("output")), file=sys.stderr)
        print("  inside the callbacks: %s, %.1f a period" %
              (" ".join("%s %d" % kv for kv in inside.items()), inside["total"] / periods),
              file=sys.stderr)
        print("  on the thread outside them: %d" % thread["total"], file=sys.stderr)
        print("  mutex locks %d (%d contended, longest wait %.0f us), condition signals %d, waits %d" %
              (w.count("callback.mutex_lock"), w.count("callback.mutex_contended"),
               w.window_max["mutex_wait"] / 1000.0, w.count("callback.cond_signal"),
               w.count("callback.cond_wait")), file=sys.stderr)

    @classmethod
    def tearDownClass(cls):
        cls.rig.close()

    def test_the_probe_sees_every_period_of_a_call_with_audio(self):
        w = self.window
        # 10 ms periods on both streams, and the call's audio arriving.
        for kind in ("input", "output"):
            self.assertAlmostEqual(w.callbacks(kind) / SECONDS, 100, delta=15, msg=kind)
            self.assertAlmostEqual(w.period_ms(kind), 10.0, places=3)
        self.assertGreater(self.rx_packets, 50)
        # The wrappers are the ones that the program calls.
        self.assertGreater(w.count("probe.wrapped"), 0)

    def test_the_callback_never_allocates_or_frees(self):
        self.assertEqual(0, self.window.allocations("callback")["total"])

    def test_the_callback_never_waits_on_a_condition(self):
        self.assertEqual(0, self.window.count("callback.cond_wait"))


if __name__ == "__main__":
    unittest.main()
