"""Broken audio in what a receiver played of a steady tone. The tone's
period is a whole number of samples (480 Hz at 48 kHz: 100), so clean
audio repeats itself one period later; a gap, a dropped or repeated piece
that is not whole periods, or a concealed packet that does not continue the
tone breaks that. Whole periods removed or repeated (time-scale
modification done right) and a clock follower's slow resampling do not.

Per 10 ms block: silent when its level is under a tenth of the tone's
(its median over the piece looked at), broken when it is not silent but
either differs from itself one period earlier by more than a quarter of the
tone's level, or its level is off the tone's by more than half. Broken
blocks next to each other are one event: a silent gap when one of them is
silent, a dropout when none is."""

import array
import math
import operator
import wave
from dataclasses import dataclass, field

RATE = 48000
TONE_HZ = 480
PERIOD = RATE // TONE_HZ
BLOCK = RATE // 100
SILENT = 0.1
UNLIKE = 0.25
LEVEL_OFF = 0.5


def write_tone(path, seconds, level=8000, channels=2):
    """A 16-bit WAV of the steady tone, the same on every channel."""
    period = array.array("h", (int(level * math.sin(2 * math.pi * n / PERIOD)) for n in range(PERIOD)
                               for _ in range(channels)))
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(period.tobytes() * int(seconds * TONE_HZ))


@dataclass
class Breaks:
    """Silent gaps and dropouts as (start, length) in seconds from the
    start of the samples looked at."""
    gaps: list = field(default_factory=list)
    dropouts: list = field(default_factory=list)
    analysed: float = 0.0
    note: str = ""          # what the one who judged left out, and why

    @property
    def seconds(self):
        """The broken audio in all."""
        return sum(length for _, length in self.gaps + self.dropouts)

    def describe(self):
        return "%.2f s broken in %.0f s: %d silent gaps (%.2f s) + %d dropouts (%.2f s)" % (
            self.seconds, self.analysed, len(self.gaps), sum(n for _, n in self.gaps), len(self.dropouts),
            sum(n for _, n in self.dropouts)) + self.note


def block_levels(v, first, last):
    """Per block from sample first to last: (level, level of the
    difference from one period earlier), both as RMS."""
    out = []
    for i in range(max(first, PERIOD), last - BLOCK + 1, BLOCK):
        block = v[i:i + BLOCK]
        energy = sum(map(operator.mul, block, block))
        diff = list(map(operator.sub, block, v[i - PERIOD:i - PERIOD + BLOCK]))
        out.append((math.sqrt(energy / BLOCK), math.sqrt(sum(map(operator.mul, diff, diff)) / BLOCK)))
    return out


def broken_audio(v, start=0.0, end=None, rate=RATE):
    """The Breaks of the mono samples v (a sequence of ints) from start to
    end seconds."""
    if rate != RATE:
        raise ValueError("the tone is made for %d Hz" % RATE)
    first, last = int(start * RATE), len(v) if end is None else min(len(v), int(end * RATE))
    levels = block_levels(v, first, last)
    result = Breaks(analysed=len(levels) * BLOCK / RATE)
    if not levels:
        return result
    tone = sorted(level for level, _ in levels)[len(levels) // 2]
    run, silent_run = 0, False
    base = max(first, PERIOD)
    for n, (level, diff) in enumerate(levels + [(tone, 0.0)]):
        silent = level < SILENT * tone
        broken = silent or diff > UNLIKE * tone or abs(level - tone) > LEVEL_OFF * tone
        if broken:
            run += 1
            silent_run |= silent
            continue
        if run:
            at = (base + (n - run) * BLOCK) / RATE - start
            (result.gaps if silent_run else result.dropouts).append((at, run * BLOCK / RATE))
        run, silent_run = 0, False
    return result


def wav_channel(path, channel=0):
    """(rate, samples) of one channel of a 16-bit WAV."""
    with wave.open(path, "rb") as w:
        channels, rate = w.getnchannels(), w.getframerate()
        samples = array.array("h", w.readframes(w.getnframes()))
    return rate, samples[channel::channels]
