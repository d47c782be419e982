"""Process tests of calls over an impaired link: the call-path tests' JACK
server and program (tests/callpath) on the near side of an emulated link
(emulated_link.py), far ends (Debian's baresip sending a steady tone) on
its far side, the program's recording of each caller and the broken audio
in it (tone_breaks.py).

    class Jitter(ImpairedCallTest):
        inbound = Profile(delay_ms=80, jitter_ms=30)

        def test_heard_whole(self):
            self.tone_caller()
            call = self.record(30)
            self.assertEqual([], call.breaks(1, start=5).gaps)
            self.assertLess(call.buffer(1, 0.95), 100)

self.link changes the profiles (set) or drops a window (outage) during
the test. The test runs in a private network namespace, as the call-path
tests do (their CMake line, or zvcall.in_private_network())."""

import json
import os
import re
import socket
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import zvcall  # noqa: E402
import flacfiles  # noqa: E402
from emulated_link import FAR_ADDRESS, NEAR_ADDRESS, Link  # noqa: E402
from call_path import REALTIME, CallPathTest  # noqa: E402
from farend import FarEnd  # noqa: E402
from impairment import GilbertElliott, Profile  # noqa: E402, F401
from tone_breaks import broken_audio, write_tone  # noqa: E402

PROGRAM_URI = "sip:zv@%s:%d" % (NEAR_ADDRESS, zvcall.SIP_PORT)


# Around a pause of the far end's media before the link (Link.pauses), the
# audio may break whatever the receiver does: from a little before it to a
# little after its burst. The recording's clock is the JACK graph's, which
# a stall of the machine holds back: a moment on the wall clock falls a
# little earlier in the recording.
PAUSE_BEFORE = 0.5
PAUSE_AFTER = 0.3
# A heap that a pause leaves is played back within this.
PAUSE_SETTLES = 3.0


class Recording:
    """What record() gathered: the left channel of each caller's recorded
    track, every STATS entry of each track with the moment it came, and the
    pauses of the far ends' media before the link, as (start, seconds)
    (times in seconds since the recording started).

    The program is judged by what it does with the link it got: a far end
    or this machine that stalls sends the link a gap and a burst, which no
    buffer of a live call's size covers. Breaks next to such a pause and
    buffer figures while its heap is played back are left out, and named
    in the figures' description."""

    def __init__(self, tracks, stats, pauses=()):
        self.tracks, self.stats, self.pauses = tracks, stats, list(pauses)

    def breaks(self, track, start=0.0, end=None, all_of_them=False):
        """tone_breaks.Breaks of the track's recording from start to end
        seconds, but for those next to a pause (with all_of_them, every
        one, as a comparison with a receiver that had no pauses left out
        needs)."""
        breaks = broken_audio(self.tracks[track], start, end)
        if all_of_them:
            return breaks
        windows = [(p - start - PAUSE_BEFORE, p - start + n + PAUSE_AFTER) for p, n in self.pauses]

        def kept(events):
            return [(t, n) for t, n in events if not any(t < b and t + n > a for a, b in windows)]

        excused = len(breaks.gaps) + len(breaks.dropouts)
        breaks.gaps, breaks.dropouts = kept(breaks.gaps), kept(breaks.dropouts)
        excused -= len(breaks.gaps) + len(breaks.dropouts)
        if self.pauses:
            breaks.note = "; %d left out next to the far end's pauses %s" % (excused, self.describe_pauses())
        return breaks

    def describe_pauses(self):
        return ", ".join("%.0f ms at %.2f s" % (1000 * n, t) for t, n in self.pauses)

    def settling(self, t):
        """Whether t is while a pause's heap is played back."""
        return any(p <= t <= p + n + PAUSE_SETTLES for p, n in self.pauses)

    def buffers(self, track, start=0.0):
        """[(seconds, STATS "buffer")] from start on."""
        return [(t, e["buffer"]) for t, e in self.stats[track] if t >= start and "buffer" in e]

    def buffer(self, track, quantile=0.5, start=0.0):
        """A quantile of STATS "buffer" from start on."""
        values = sorted(b for _, b in self.buffers(track, start))
        return values[min(len(values) - 1, int(quantile * len(values)))] if values else None

    def jbuf(self, track, key):
        """How much the STATS "jbuf" figure key (e.g. "late", "lost") grew
        over the recording."""
        values = [e["jbuf"][key] for _, e in self.stats[track] if key in e.get("jbuf", {})]
        return values[-1] - values[0] if values else None


class ImpairedCallTest(CallPathTest):
    """CallPathTest with the program on the near side of a link whose
    profiles are the class's inbound (far ends to the program) and
    outbound, drawn from seed."""

    inbound = None
    outbound = None
    seed = 1
    sip_address = NEAR_ADDRESS

    def setUp(self):
        # Made before the program, which listens on the link's address;
        # taken down after it and the far ends.
        self.link = Link(self.inbound, self.outbound, self.seed)
        self.addCleanup(self.link.close)
        self.tone = None
        super().setUp()

    def far_end(self, name, sip, ctrl, wav=None):
        """Debian's baresip on the far side, sending wav (the steady tone
        by default)."""
        if wav is None:
            if self.tone is None:
                self.tone = os.path.join(self.root, "tone.wav")
                write_tone(self.tone, 600)
            wav = self.tone
        far = FarEnd(self.root, name, sip, ctrl, wav, wrapper=self.link.far_command(REALTIME),
                     address=FAR_ADDRESS)
        self.farends.append(far)
        return far.start()

    def tone_caller(self, name="far", sip=5070, ctrl=4444, key="1"):
        """A far end that sends the steady tone calls the program, which
        answers on track key."""
        far = self.far_end(name, sip, ctrl)
        far.dial(PROGRAM_URI)
        self.page.until(lambda m: zvcall.state_of(m, key) == "Established", timeout=30)
        far.wait_event("CALL_ESTABLISHED")
        return far

    def record(self, seconds, tracks=(1,), during=None):
        """Records for seconds and reads STATS all along; during(elapsed)
        is called with each STATS message's moment, for a test that acts
        in the middle. A Recording."""
        options = zvcall.Options()
        self.addCleanup(options.close)
        mark = len(self.program.output())
        options.set("record", "true")
        folder = self._wait_output(r"zvaudio/record: start (.*)\n", mark).group(1)
        start = time.monotonic()
        stats = {t: [] for t in tracks}
        while time.monotonic() - start < seconds:
            try:
                msg = json.loads(self.page.calls.recv(max(0.01, seconds - (time.monotonic() - start))))
            except socket.timeout:
                continue
            if not isinstance(msg, dict) or msg.get("callback") != "STATS":
                continue
            elapsed = time.monotonic() - start
            for entry in msg["tracks"]:
                if entry["track"] in stats and entry.get("active"):
                    stats[entry["track"]].append((elapsed, entry))
            if during:
                during(elapsed)
        pauses = [(t - start, n) for t, n in self.link.pauses()["inbound"] if t + n >= start]
        options.set("record", "false")
        self._wait_output(r"zvaudio/record: stop after \d+ samples\n", mark)
        self._wait_output(r"(?s)(closed \(.*){7}", mark)
        recorded = {}
        for t in tracks:
            channels, samples = flacfiles.decode(os.path.join(folder, "remote-track-%d.flac" % t))
            recorded[t] = samples[0::channels]
        return Recording(recorded, stats, pauses)

    def _wait_output(self, pattern, mark, timeout=30):
        end = time.monotonic() + timeout
        while True:
            m = re.search(pattern, self.program.output()[mark:])
            if m or time.monotonic() > end:
                break
            time.sleep(0.05)
        if not m:
            raise AssertionError("no %r in the program's output:\n%s" % (pattern, self.program.output()[mark:]))
        return m
