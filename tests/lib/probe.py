"""Reading the callback probe (callback_probe.cpp) of a program that runs
with it preloaded: snapshots of its counters, the difference of two, and
the figures of a window between them."""

import contextlib
import os
import time

HIST_STEP_US = 10
KINDS = ("input", "output", "duplex")
ALLOCATIONS = ("malloc", "calloc", "realloc", "memalign", "free")


def library():
    """The probe's shared library, as the build gave it to the tests."""
    path = os.environ.get("ZV_CALLBACK_PROBE", "")
    if not path or not os.path.exists(path):
        raise RuntimeError("ZV_CALLBACK_PROBE does not name the built probe library")
    return path


@contextlib.contextmanager
def preloaded(out_path, interval_ms=250):
    """Programs started inside the block run with the probe, writing to
    out_path."""
    saved = {k: os.environ.get(k) for k in ("LD_PRELOAD", "ZV_PROBE_OUT", "ZV_PROBE_INTERVAL_MS")}
    os.environ.update(LD_PRELOAD=library(), ZV_PROBE_OUT=out_path,
                      ZV_PROBE_INTERVAL_MS=str(interval_ms))
    try:
        yield
    finally:
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


def read(path, timeout=10):
    """The latest snapshot: a dict of numbers, "<kind>.hist" a list."""
    end = time.monotonic() + timeout
    while True:
        try:
            with open(path) as f:
                text = f.read()
            break
        except FileNotFoundError:
            if time.monotonic() > end:
                raise AssertionError("the probe wrote no %s" % path)
            time.sleep(0.05)
    snap = {}
    for line in text.splitlines():
        key, _, value = line.partition(" ")
        if key.endswith(".hist"):
            snap[key] = [int(v) for v in value.split()]
        else:
            snap[key] = float(value) if "." in value else int(value)
    return snap


def next_snapshot(path, after=None, timeout=10):
    """A snapshot written after the one given (or after now)."""
    end = time.monotonic() + timeout
    first = read(path)
    while True:
        time.sleep(0.05)
        snap = read(path)
        if snap != (after or first):
            return snap
        if time.monotonic() > end:
            raise AssertionError("the probe stopped writing %s" % path)


class Window:
    """What happened between two snapshots a and b, and the worst callback
    in the snapshots between them (the window maxima)."""

    def __init__(self, a, b, window_max=None):
        self.a, self.b = a, b
        self.window_max = window_max or {}

    def count(self, key):
        return self.b[key] - self.a[key]

    def allocations(self, scope="callback"):
        """{"malloc": n, ...} and their sum under "total"."""
        got = {name: self.count("%s.%s" % (scope, name)) for name in ALLOCATIONS}
        got["total"] = sum(got.values())
        return got

    def seconds(self):
        return self.count("time_ns") / 1e9

    def busy_percent(self):
        """The time spent in callbacks, all streams, as % of the window."""
        return 100.0 * sum(self.count(k + ".ns_total") for k in KINDS) / 1e9 / self.seconds()

    def callbacks(self, kind):
        return self.count(kind + ".calls")

    def period_ms(self, kind):
        calls = self.callbacks(kind)
        if not calls or not self.b[kind + ".rate"]:
            return 0.0
        return 1000.0 * self.count(kind + ".frames") / calls / self.b[kind + ".rate"]

    def mean_us(self, kind):
        calls = self.callbacks(kind)
        return self.count(kind + ".ns_total") / calls / 1000.0 if calls else 0.0

    def worst_us(self, kind):
        return self.window_max.get(kind, 0) / 1000.0

    def percentile_us(self, kind, p):
        hist = [y - x for x, y in zip(self.a[kind + ".hist"], self.b[kind + ".hist"])]
        total = sum(hist)
        if not total:
            return 0.0
        need = total * p / 100.0
        seen = 0
        for step, n in enumerate(hist):
            seen += n
            if seen >= need:
                return (step + 1) * HIST_STEP_US
        return len(hist) * HIST_STEP_US


def watch(path, seconds):
    """Follows the probe for seconds; the window from now until then, with
    the maxima of every snapshot in between."""
    a = next_snapshot(path)
    worst = {k: 0 for k in KINDS}
    worst_wait = 0
    end = time.monotonic() + seconds
    snap = a
    while time.monotonic() < end:
        snap = next_snapshot(path, after=snap)
        for k in KINDS:
            worst[k] = max(worst[k], snap[k + ".ns_window_max"])
        worst_wait = max(worst_wait, snap["callback.mutex_wait_ns_window_max"])
    worst["mutex_wait"] = worst_wait
    return Window(a, snap, worst)
