"""The call audio path with real far ends (Debian's baresip) calling the
built program on a JACK dummy server: a call costs no thread of its own;
after a stall the receive buffer ("buffer" of STATS) drains back to its
floor; a far end whose clock runs fast or slow is followed, its tone
recorded without a click."""

import os
import signal
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
import zvcall  # noqa: E402

zvcall.in_private_network()

import unittest  # noqa: E402

import flacfiles  # noqa: E402
from call_path import RATE, CallPathTest, bursts, starved, write_bursts  # noqa: E402
from farend import write_tone  # noqa: E402
from zvcall import Options  # noqa: E402


def threads(pid):
    """The names of the process's threads."""
    names = []
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                names.append(f.read().strip())
        except OSError:
            pass
    return sorted(names)


class OneCall(CallPathTest):
    def test_a_call_has_no_thread_of_its_own(self):
        before = threads(self.program.proc.pid)
        wav = os.path.join(self.root, "tone.wav")
        write_tone(wav, 8000, 8000, seconds=20)
        self.caller("a", 5070, 4444, wav, "1")
        time.sleep(2)
        during = threads(self.program.proc.pid)
        self.assertEqual(before, during)
        # And the audio flows both ways meanwhile.
        levels = self.buffers(2)[1]
        self.assertTrue(levels and all(b > 0 for _, b in levels[2:]), levels)

    def test_the_buffer_drains_after_a_stall(self):
        wav = os.path.join(self.root, "speech.wav")
        write_bursts(wav, 60)
        far = self.caller("a", 5070, 4444, wav, "1")
        time.sleep(3)
        calm = sorted(b for _, b in self.buffers(3)[1])
        self.assertTrue(calm, "no STATS for track 1")
        self.assertLessEqual(calm[len(calm) // 2], 50, calm)

        # The far end stops for two seconds; resumed, it catches up with
        # what it owes at once.
        os.kill(far.proc.pid, signal.SIGSTOP)
        time.sleep(2)
        os.kill(far.proc.pid, signal.SIGCONT)
        resumed = time.monotonic()
        after = self.buffers(12)[1]
        peak = max(b for _, b in after)
        self.assertGreater(peak, 100, "the stall left no backlog: %r" % after)
        # Back at most 60 ms within 10 s, and near the floor from then on.
        back = next((t for t, b in after if b <= 60 and t - resumed > 2), None)
        self.assertIsNotNone(back, after)
        self.assertLess(back - resumed, 10, after)
        late = sorted(b for t, b in after if t - resumed > 7)
        self.assertTrue(late, after)
        self.assertLessEqual(late[len(late) // 2], 50, after)


class SkewedClocks(CallPathTest):
    """Two far ends, one whose clock runs 0.1 % fast and one 0.1 % slow (the
    whole far end under faketime), each sending a steady tone, recorded."""

    SECONDS = int(os.environ.get("ZV_SKEW_SECONDS", "60"))

    def test_far_clocks_are_followed_without_clicks(self):
        callers = []
        for name, sip, ctrl, key, speed in (("fast", 5070, 4444, "1", "x1.001"),
                                            ("slow", 5080, 4454, "2", "x0.999")):
            wav = os.path.join(self.root, name + ".wav")
            write_bursts(wav, self.SECONDS + 30, freq=480.0, on=1.0, off=0.25)
            callers.append(self.caller(name, sip, ctrl, wav, key,
                                       wrapper=("faketime", "-f", "+0 " + speed)))
        options = Options()
        self.addCleanup(options.close)
        options.set("record", "true")
        recording = time.monotonic()
        folder = self.program.wait_for(r"zvaudio/record: start (.*)\n").group(1)
        levels = self.buffers(self.SECONDS, tracks=(1, 2))
        options.set("record", "false")
        self.program.wait_for(r"zvaudio/record: stop after (\d+) samples\n")
        self.program.wait_for(r"(?s)(closed \(.*){7}")

        # Once settled the level stays near its floor: a burst of the
        # network (or of a busy machine) may lift it, and within 10 s it is
        # back. (Running dry shows in the recording, below.)
        for track in (1, 2):
            settled = [(t, b) for t, b in levels[track] if t - levels[track][0][0] > 10]
            self.assertGreater(len(settled), 20, levels[track])
            self.assertLessEqual(sorted(b for _, b in settled)[len(settled) // 2], 50, (track, levels[track]))
            high_since = None
            for t, b in settled:
                if b <= 60:
                    high_since = None
                elif high_since is None:
                    high_since = t
                else:
                    self.assertLess(t - high_since, 10, (track, levels[track]))

        # The tones as recorded: no jump, no gap within a burst. A 480 Hz
        # sine of 8000 keeps its second difference below
        # 8000 (2 pi 480 / 48000)^2 = 32; Opus adds a little; a gap or a
        # jump of a frame shows far above. The bursts' own edges are left
        # out.
        for track in (1, 2):
            channels, samples = flacfiles.decode(os.path.join(folder, "remote-track-%d.flac" % track))
            left = samples[0::channels]
            worst, where, gaps = 0, 0, 0
            # From 10 s on, as for the levels: a call's first seconds may
            # bring a heap the library's buffer cannot hold.
            for first, last in bursts(left):
                first = max(first, 10 * RATE)
                i = first + 1
                while i < last - 1:
                    d = abs(left[i + 1] - 2 * left[i] + left[i - 1])
                    if d >= 150 and (starved(left, i) or overflowed(levels[track], recording + i / RATE)):
                        # Silence the library played when the far end's
                        # packets came too late, or audio it dropped at its
                        # buffer's top when they came in a heap (a busy
                        # machine): no step of the correction.
                        gaps += 1
                        i += RATE // 10
                        continue
                    if d > worst:
                        worst, where = d, i
                    i += 1
            self.assertLess(worst, 150, "track %d: a step of %d at %.3f s" % (track, worst, where / RATE))
            # Those come from the machine, not from the correction: a busy
            # one may starve the far end now and then, never for long.
            self.assertLessEqual(gaps, self.SECONDS // 10, "track %d ran dry or over %d times" % (track, gaps))


def overflowed(levels, when, top=140, within=1.5):
    """The receive buffer was near its 160 ms top about then."""
    return any(b >= top for t, b in levels if abs(t - when) <= within)



if __name__ == "__main__":
    unittest.main(verbosity=2)
