"""A real call through the emulated link: the program and Debian's baresip
set it up across it as on loopback (the link passes SIP as it is), the
steady tone flows both ways, and a one-second outage shows in the
broken-audio measure as about a second of broken audio where it fell.
Runs in a private network namespace (see CMakeLists.txt)."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from impaired_call import ImpairedCallTest  # noqa: E402


class CallOverLink(ImpairedCallTest):
    def test_a_call_and_an_outage(self):
        self.tone_caller()
        outage = {}

        def cut(elapsed):
            if elapsed > 6 and not outage:
                outage["at"] = elapsed
                self.link.outage(1.0, direction="inbound")

        call = self.record(12, during=cut)
        at = outage["at"]
        self.assertGreater(call.buffer(1), 0)
        # The recording's clock is the JACK graph's, which a stall of the
        # machine holds back: the outage is looked for a little around
        # where it fell on the wall clock.
        # The tone's level is taken over the whole recording, where the
        # outage is the smaller part.
        whole = call.breaks(1, start=1, all_of_them=True)
        near = [(s + 1, n) for s, n in whole.gaps + whole.dropouts if at - 0.3 <= s + 1 <= at + 1.5]
        inside = sum(n for _, n in near)
        self.assertGreater(inside, 0.8, whole.describe())
        self.assertLess(inside, 1.5, whole.describe())
        # Elsewhere the tone came through (the program, not the link, may
        # break it a little on a busy machine).
        self.assertLess(whole.seconds - inside, 0.5, whole.describe())
        counts = self.link.counts()
        self.assertAlmostEqual(counts["inbound"]["outage"], 50, delta=5)    # 1 s of 20 ms packets
        self.assertGreater(counts["outbound"]["passed"], 500)
        self.assertEqual(0, counts["outbound"]["outage"] + counts["outbound"]["lost"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
