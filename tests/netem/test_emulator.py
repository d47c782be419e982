"""The impairment emulator checked with a UDP probe across it: every
packet's delay is the one its seed planned (within the timing accuracy
printed at the end), the packets lost are exactly the planned ones and
those overtaken the planned reordered ones, the planned draws follow the asked distributions, an
outage drops (a stall holds) what comes in its window, and a pause of a sender is told. Runs in a private
network namespace (see CMakeLists.txt)."""

import os
import statistics
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
from emulated_link import FAR_ADDRESS, NEAR_ADDRESS, Link  # noqa: E402
from impairment import GilbertElliott, Profile, planned  # noqa: E402

PROBE = os.path.join(HERE, "udp_probe.py")
COUNT = 1000
INTERVAL_MS = 5
SEED = 7
# What the emulator adds to a packet's planned delay: its own wake-up and
# the path through three namespaces. On a busy machine some packets meet a
# stall of the machine itself (this virtual one stops for up to 150 ms now
# and then), which holds every packet in flight.
MEDIAN_ERROR_MS = 1.0
P90_ERROR_MS = 5.0
errors_seen = []


class Flow:
    """One probe flow across the link: a receiver on one side and a sender
    on the other, both at a real-time priority like the emulator's."""

    def __init__(self, link, direction, port, count=COUNT, interval_ms=INTERVAL_MS):
        self.direction, self.port, self.count = direction, port, count
        rt = ["chrt", "-f", "9", sys.executable, PROBE]
        seconds = count * interval_ms / 1000 + 1.5
        receiver = rt + ["receive", str(port), str(seconds)]
        sender = rt + ["send", FAR_ADDRESS if direction == "outbound" else NEAR_ADDRESS, str(port), str(port + 1),
                       str(count), str(interval_ms)]
        if direction == "outbound":
            receiver = link.far_command(receiver)
        else:
            sender = link.far_command(sender)
        self.receiver = subprocess.Popen(receiver, stdout=subprocess.PIPE, text=True)
        assert self.receiver.stdout.readline().strip() == "ready"
        self.sender = subprocess.Popen(sender)

    def result(self):
        """{seq: (sent, arrived)} in the order of arrival."""
        self.sender.wait(60)
        out, _ = self.receiver.communicate(timeout=60)
        got = {}
        for line in out.splitlines():
            seq, sent, arrived = line.split()
            got[int(seq)] = (float(sent), float(arrived))
        return got


def overtaken(got):
    """The sequence numbers that arrived after a later-sent packet."""
    latest, late = -1, set()
    for seq, _ in sorted(got.items(), key=lambda kv: kv[1][1]):
        if seq < latest:
            late.add(seq)
        latest = max(latest, seq)
    return late


class EmulatorTest(unittest.TestCase):
    def link(self, inbound=None, outbound=None):
        link = Link(inbound, outbound, seed=SEED)
        self.addCleanup(link.close)
        return link

    def check_delays(self, profile, direction, got):
        """Each delivered packet's delay against its plan; the delivered
        set exactly the planned one."""
        plan = planned(profile, SEED, direction, COUNT)
        self.assertEqual({i for i, d in enumerate(plan) if d is not None}, set(got), direction)
        errors = sorted(abs(arrived - sent - plan[seq]) * 1000 for seq, (sent, arrived) in got.items())
        errors_seen.extend(errors)
        self.assertLess(errors[len(errors) // 2], MEDIAN_ERROR_MS, errors[-20:])
        self.assertLess(errors[int(0.9 * len(errors))], P90_ERROR_MS, errors[-120:])
        return plan

    def test_delay_jitter_and_loss(self):
        outbound = Profile(delay_ms=80, jitter_ms=30)
        inbound = Profile(delay_ms=30, jitter_ms=20, distribution="normal", loss=0.05)
        link = self.link(inbound, outbound)
        flows = [Flow(link, "outbound", 41000), Flow(link, "inbound", 42000)]
        out, into = (f.result() for f in flows)

        plan = [d * 1000 for d in self.check_delays(outbound, "outbound", out)]
        self.assertGreaterEqual(min(plan), 50)
        self.assertLessEqual(max(plan), 110)
        self.assertAlmostEqual(statistics.mean(plan), 80, delta=1.5)
        # Uniform: each third of the range holds about a third.
        thirds = [sum(1 for d in plan if 50 + 20 * k <= d < 70 + 20 * k) for k in range(3)]
        self.assertTrue(all(abs(n - COUNT / 3) < 60 for n in thirds), thirds)
        # As with netem, a jitter wider than the packets' spacing reorders.
        self.assertGreater(len(overtaken(out)), COUNT // 4)

        plan = [d * 1000 for d in self.check_delays(inbound, "inbound", into) if d is not None]
        self.assertAlmostEqual(statistics.mean(plan), 30, delta=2)
        self.assertAlmostEqual(statistics.pstdev(plan), 20, delta=2)
        self.assertAlmostEqual(1 - len(into) / COUNT, 0.05, delta=0.02)

    def test_burst_loss_and_reordering(self):
        burst = GilbertElliott(p=0.02, r=0.25)
        outbound = Profile(burst=burst)
        inbound = Profile(reorder=0.1, reorder_ms=30)
        link = self.link(inbound, outbound)
        flows = [Flow(link, "outbound", 43000), Flow(link, "inbound", 44000)]
        out, into = (f.result() for f in flows)

        plan = self.check_delays(outbound, "outbound", out)
        lost = [d is None for d in plan]
        self.assertAlmostEqual(sum(lost) / COUNT, burst.mean_loss(), delta=0.03)
        runs = [n for n in (len(r) for r in "".join("x" if x else " " for x in lost).split()) if n]
        self.assertAlmostEqual(statistics.mean(runs), 1 / burst.r, delta=1.5)

        plan = self.check_delays(inbound, "inbound", into)
        held = {i for i, d in enumerate(plan) if d > 0}
        self.assertAlmostEqual(len(held) / COUNT, 0.1, delta=0.025)
        # Held 30 ms at 5 ms spacing: every one is overtaken, none other
        # is, but where a stall of the machine held the sender back longer.
        self.assertLessEqual(len(held ^ overtaken(into)), COUNT // 50, sorted(held ^ overtaken(into)))

    def test_outage_and_stall(self):
        link = self.link()
        flows = [Flow(link, "outbound", 45000, count=400), Flow(link, "inbound", 46000, count=400)]
        time.sleep(0.6)
        before = time.monotonic()
        link.outage(0.5, direction="outbound")
        link.outage(0.5, direction="inbound", hold=True)
        after = time.monotonic()
        out, into = (f.result() for f in flows)
        end = before + 0.5

        # Dropped: one run of about 0.5 s worth of packets (the sender
        # keeps its schedule but may be late on a busy machine), none sent
        # inside the window delivered.
        missing = sorted(set(range(400)) - set(out))
        self.assertEqual(list(range(missing[0], missing[0] + len(missing))), missing)
        self.assertAlmostEqual(len(missing), 100, delta=10)
        for seq, (sent, _) in out.items():
            self.assertFalse(after + 0.002 < sent < end - 0.002, (seq, sent - before))

        # Held: all delivered, those of the window together at its end.
        self.assertEqual(400, len(into))
        inside = [arrived for sent, arrived in into.values() if after + 0.002 < sent < end - 0.002]
        self.assertAlmostEqual(link.counts()["inbound"]["held"], 100, delta=10)
        self.assertGreater(len(inside), 80)
        for arrived in inside:
            self.assertAlmostEqual(arrived, end, delta=0.02)

    def test_a_senders_pause_is_told_and_the_links_own_stall_is_not(self):
        link = self.link()
        Flow(link, "inbound", 47000, count=40).result()
        time.sleep(0.3)
        flow = Flow(link, "inbound", 47000, count=40)
        time.sleep(0.05)
        link.outage(0.3, direction="inbound", hold=True)
        flow.result()
        # The sender's pause, not the link's hold (nor the 5 ms between
        # packets); a stall of this machine may add one of its own.
        pauses = [n for _, n in link.pauses()["inbound"]]
        self.assertEqual(1, len([n for n in pauses if n >= 0.3]), pauses)
        self.assertEqual([], link.pauses()["outbound"])


def tearDownModule():
    if errors_seen:
        e = sorted(errors_seen)
        print("\ndelay off its plan over %d packets: median %.2f ms, p95 %.2f ms, p99 %.2f ms, worst %.1f ms"
              % (len(e), e[len(e) // 2], e[int(0.95 * len(e))], e[int(0.99 * len(e))], e[-1]), file=sys.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
