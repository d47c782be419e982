"""Calls of the call-path tests and benchmarks: real far ends (Debian's
baresip) calling the built program on a real-time JACK dummy server, the
receive buffers read from STATS, and the tone-burst signal that stands for
speech with the judges of its recording."""

import json
import math
import os
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import zvcall  # noqa: E402
from farend import write_wav  # noqa: E402
from zvcall import CallTest, state_of  # noqa: E402

OURS = "sip:zv@127.0.0.1:%d" % zvcall.SIP_PORT
RATE = 48000

# The tests time the far ends against the engine's clock and read the
# receive buffers, which a busy machine would disturb with its own delays:
# the JACK server, the program and the far ends all run at real-time
# priorities (the program's own threads take theirs as they would anyway).
REALTIME = ("chrt", "-f", "5")


class CallPathTest(CallTest):
    auto_answer = True
    jack_realtime = True
    wrapper = REALTIME

    def caller(self, name, sip, ctrl, wav, key, wrapper=()):
        far = self.farend_wrapped(name, sip, ctrl, wav, wrapper)
        far.dial(OURS)
        self.page.until(lambda m: state_of(m, key) == "Established")
        far.wait_event("CALL_ESTABLISHED")
        return far

    def farend_wrapped(self, name, sip, ctrl, wav, wrapper):
        from farend import FarEnd
        f = FarEnd(self.root, name, sip, ctrl, wav, wrapper=REALTIME + tuple(wrapper))
        self.farends.append(f)
        return f.start()

    def buffers(self, seconds, tracks=(1,)):
        """{track: [(time, STATS "buffer")]} over the next seconds."""
        got = {t: [] for t in tracks}
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                msg = json.loads(self.page.calls.recv(max(0.01, end - time.monotonic())))
            except socket.timeout:
                continue
            if not isinstance(msg, dict) or msg.get("callback") != "STATS":
                continue
            now = time.monotonic()
            for entry in msg["tracks"]:
                if entry["track"] in got and entry.get("active"):
                    got[entry["track"]].append((now, entry["buffer"]))
        return got


def write_bursts(path, seconds, freq=440.0, level=8000, on=0.3, off=0.2):
    """A 48 kHz stereo WAV of tone bursts with silence between, as speech
    has pauses."""
    period = on + off
    frames = bytearray()
    for i in range(int(seconds * RATE)):
        t = i / RATE
        v = int(level * math.sin(2 * math.pi * freq * t)) if (t % period) < on else 0
        frames += struct.pack("<hh", v, v)
    write_wav(path, frames)


def starved(v, i, run=96, within=480):
    """A run of exact zeros begins or ends near sample i."""
    near = v[max(0, i - within):i + within]
    return any(all(x == 0 for x in near[k:k + run]) for k in range(len(near) - run))


def bursts(v, window=480, level=4000, edge=1920):
    """(first, last) sample of every stretch of v whose 10 ms windows all
    carry the tone, less edge samples at either end."""
    loud = [max(abs(x) for x in v[i:i + window]) > level for i in range(0, len(v) - window, window)]
    spans, start = [], None
    for n, on in enumerate(loud + [False]):
        if on and start is None:
            start = n
        elif not on and start is not None:
            first, last = start * window + edge, n * window - edge
            if last - first > window:
                spans.append((first, last))
            start = None
    return spans
