"""Callers hear each other and never themselves: two far ends A and B on
tracks 1 and 2; what B receives is A's audio after A's track volume and
channel mode, and what A receives carries B but not A."""

import math
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lib"))
import zvcall  # noqa: E402

zvcall.in_private_network()

from farend import write_tone  # noqa: E402
from zvcall import CallTest, state_of  # noqa: E402

A_FREQ = 440.0    # A sends 12000 left, 3000 right
B_FREQ = 1000.0   # B sends 4000 on both sides
WINDOW = 4800


def tone_level(samples, channels, channel, freq, start, count):
    """Amplitude of the sine at freq on one channel, over count samples of
    that channel from start (Goertzel)."""
    coeff = 2 * math.cos(2 * math.pi * freq / 48000)
    s1 = s2 = 0.0
    for i in range(start, start + count):
        s0 = samples[i * channels + channel] + coeff * s1 - s2
        s2, s1 = s1, s0
    power = s1 * s1 + s2 * s2 - coeff * s1 * s2
    return 2 * math.sqrt(max(power, 0.0)) / count


def levels(wav, freq, skip=1.0):
    """Per channel, the median level of freq over 0.1 s windows of the
    received audio from skip seconds on."""
    ch, samples = wav
    frames = len(samples) // ch
    starts = range(int(skip * 48000), frames - WINDOW, WINDOW)
    out = []
    for c in range(ch):
        vals = sorted(tone_level(samples, ch, c, freq, s, WINDOW) for s in starts)
        out.append(vals[len(vals) // 2] if vals else 0.0)
    return out


def peak_level(wav, freq):
    """The highest level of freq in any 0.1 s window, either channel."""
    ch, samples = wav
    frames = len(samples) // ch
    return max(tone_level(samples, ch, c, freq, s, WINDOW)
               for c in range(ch) for s in range(0, frames - WINDOW, WINDOW))


class MixMinus(CallTest):
    def call(self, dial, key):
        self.page.send_baresip(command="call", dial=dial)
        self.page.until(lambda m: state_of(m, key) == "Established")

    def b_hears(self, b):
        """Calls B for three seconds; the levels of A's tone in what B
        received, and of B's own tone."""
        before = len(b.received())
        time.sleep(1.1)  # the far end names its files by the second
        self.call("peer@127.0.0.1:5080", "2")
        time.sleep(3)
        self.page.send_calls(command="hangup", key="2")
        self.page.until(lambda m: "2" not in m and "callback" not in m)
        wav = b.last_received(before)
        return levels(wav, A_FREQ), levels(wav, B_FREQ)

    def assertNear(self, expected, value, what):
        self.assertLess(abs(value - expected), 0.2 * expected + 150,
                        "%s: %.0f, expected about %.0f" % (what, value, expected))

    def test_callers_hear_each_other_with_volume_and_channel_mode(self):
        wav_a = os.path.join(self.root, "a.wav")
        wav_b = os.path.join(self.root, "b.wav")
        write_tone(wav_a, 12000, 3000, A_FREQ, A_FREQ, seconds=60)
        write_tone(wav_b, 4000, 4000, B_FREQ, B_FREQ, seconds=60)
        a = self.farend("a", 5070, 4444, wav_a, answer="auto")
        b = self.farend("b", 5080, 4454, wav_b, answer="auto")
        self.call("peer@127.0.0.1:5070", "1")

        cases = [
            ([], (12000, 3000), "stereo"),
            ([("volume", "0.5")], (6000, 1500), "volume 0.5"),
            ([("volume", "1"), ("chmix", None)], (12000, 12000), "Mono L"),
            ([("chmix", None)], (3000, 3000), "Mono R"),
        ]
        for commands, (left, right), what in cases:
            for command, value in commands:
                msg = {"command": command, "key": "1"}
                if value is not None:
                    msg["value"] = value
                self.page.send_calls(**msg)
                self.page.next()
            (a_left, a_right), own = self.b_hears(b)
            self.assertNear(left, a_left, what + ", left")
            self.assertNear(right, a_right, what + ", right")
            self.assertLess(max(own), 100, what + ": B hears itself")

        self.page.send_calls(command="hangup", key="1")
        self.page.until(lambda m: "1" not in m and "callback" not in m)
        heard = a.last_received()
        self.assertGreater(peak_level(heard, B_FREQ), 3000, "A does not hear B")
        self.assertLess(peak_level(heard, A_FREQ), 100, "A hears itself")


if __name__ == "__main__":
    unittest.main()
