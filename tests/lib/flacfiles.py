"""Recordings as Debian's flac and metaflac see them, and the level of a
tone in decoded audio."""

import array
import math
import re
import subprocess


def verify(path):
    """flac -t: (exit code, its messages)."""
    r = subprocess.run(["flac", "-t", "-s", path], capture_output=True, text=True)
    return r.returncode, r.stderr


def stream_info(path):
    """(sample rate, channels, bits per sample, total samples per channel)."""
    r = subprocess.run(["metaflac", "--show-sample-rate", "--show-channels", "--show-bps",
                        "--show-total-samples", path],
                       capture_output=True, text=True, check=True)
    return tuple(int(v) for v in r.stdout.split())


def blocks(path):
    """[(type name, length in bytes)] of the metadata blocks in file order."""
    r = subprocess.run(["metaflac", "--list", path], capture_output=True, text=True, check=True)
    types = re.findall(r"^  type: \d+ \((\w+)\)$", r.stdout, re.M)
    lengths = [int(n) for n in re.findall(r"^  length: (\d+)$", r.stdout, re.M)]
    return list(zip(types, lengths))


def tags(path):
    """The Vorbis comments, one "NAME=value" each."""
    r = subprocess.run(["metaflac", "--export-tags-to=-", path], capture_output=True,
                       text=True, check=True)
    return r.stdout.splitlines()


def decode(path):
    """(channels, interleaved 16-bit samples) of the whole file."""
    r = subprocess.run(["flac", "-d", "-c", "-s", "--force-raw-format", "--endian=little",
                        "--sign=signed", path], capture_output=True, check=True)
    return stream_info(path)[1], array.array("h", r.stdout)


def tone_level(samples, channels, channel, freq, start, count, rate=48000):
    """Peak amplitude of the sine at freq on one channel over count frames
    from frame start (Goertzel)."""
    coeff = 2 * math.cos(2 * math.pi * freq / rate)
    s1 = s2 = 0.0
    for x in samples[start * channels + channel:(start + count) * channels:channels]:
        s1, s2 = x + coeff * s1 - s2, s1
    power = s1 * s1 + s2 * s2 - coeff * s1 * s2
    return 2 * math.sqrt(max(power, 0.0)) / count


# A caller's clock follower plays its audio up to 0.5 % faster or slower
# while it corrects the receive buffer (at length on a busy machine): a
# tone is measured at its frequency and 0.4 % to either side, the highest
# taken, so that its level does not fall with its pitch.
FOLLOWED_PITCH = (1.0, 0.996, 1.004)


def median_level(audio, channel, freq, start_s, end_s, window=4800):
    """The median tone level over windows of 0.1 s between two times."""
    channels, samples = audio
    frames = len(samples) // channels
    last = min(frames, int(end_s * 48000)) - window
    vals = sorted(max(tone_level(samples, channels, channel, freq * k, s, window)
                      for k in FOLLOWED_PITCH)
                  for s in range(int(start_s * 48000), last, window))
    return vals[len(vals) // 2] if vals else 0.0


def peak_level(audio, channel, freq, start_s, end_s, window=4800):
    """The highest tone level of the windows of 0.1 s between two times."""
    channels, samples = audio
    last = min(len(samples) // channels, int(end_s * 48000)) - window
    return max((tone_level(samples, channels, channel, freq, s, window)
                for s in range(int(start_s * 48000), last + 1, window)), default=0.0)


def onset(audio, channel, freq, level, window=4800):
    """The time of the first window of 0.1 s whose tone reaches level;
    None when none does."""
    channels, samples = audio
    return next((s / 48000 for s in range(0, len(samples) // channels - window + 1, window)
                 if tone_level(samples, channels, channel, freq, s, window) >= level), None)
