"""Far ends that put their calls on hold and resume them over and over
while the page's statistics run: every re-INVITE changes a running call's
stream under the calls' thread. Both calls stay up, the program hears and
reaches both callers again after the last resume, and it ends cleanly."""

import json
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lib"))
import zvcall  # noqa: E402

zvcall.in_private_network()

from farend import write_tone  # noqa: E402
from zvcall import CallTest, state_of  # noqa: E402

ROUNDS = 12


class HoldResume(CallTest):
    def call(self, dial, key):
        self.page.send_baresip(command="call", dial=dial)
        self.page.until(lambda m: state_of(m, key) == "Established")

    def stats_and_closes(self, seconds):
        """The STATS messages and the calls' CLOSED callbacks on "/ws_calls"
        within seconds."""
        stats = closed = 0
        end = time.monotonic() + seconds
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return stats, closed
            try:
                msg = json.loads(self.page.calls.recv(left))
            except TimeoutError:
                return stats, closed
            if isinstance(msg, dict) and msg.get("callback") == "STATS":
                stats += 1
            elif isinstance(msg, dict) and msg.get("callback") == "CLOSED":
                closed += 1

    def test_hold_and_resume_under_statistics(self):
        wav = os.path.join(self.root, "tone.wav")
        write_tone(wav, 8000, 8000, seconds=90)
        a = self.farend("a", 5070, 4444, wav, answer="auto")
        b = self.farend("b", 5080, 4454, wav, answer="auto")
        self.call("peer@127.0.0.1:5070", "1")
        self.call("peer@127.0.0.1:5080", "2")

        stats = closed = 0
        for _ in range(ROUNDS):
            for command in ("hold", "resume"):
                a.command(command)
                b.command(command)
                got = self.stats_and_closes(0.5)
                stats += got[0]
                closed += got[1]
        self.assertEqual(0, closed, "a call ended during the re-INVITEs")
        # One every 250 ms, less what a busy machine delays.
        self.assertGreater(stats, ROUNDS * 2)

        # After the last resume the program hears both callers on their
        # tracks and sends to both again (50 packets a second).
        time.sleep(1)
        meter = zvcall.WebSocket(zvcall.PAGE_PORT, "/ws_meter")
        self.addCleanup(meter.close)
        before = [far.rtp_received() for far in (a, b)]
        for slot in (1, 3):
            self.assertGreater(zvcall.meter_level(meter, slot), -30.0, "slot %d" % slot)
        time.sleep(2)
        for far, was in zip((a, b), before):
            self.assertGreater(far.rtp_received() - was, 100, far.dir)


if __name__ == "__main__":
    unittest.main()
