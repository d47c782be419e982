"""The receive buffer over a long call with drifting far clocks: two far
ends (Debian's baresip under faketime) whose clocks run +PPM and -PPM off
ours send tone bursts to the built program, recorded, for SECONDS; the
page's STATS "buffer" of each track is read all along. Beside them, as the
peer, two more far ends on the same skewed clocks call Debian's baresip CLI
playing into the same JACK graph with the program's receive buffer range;
its buffer level is read from its own audio debug figures every half
second and what it plays is recorded from its JACK ports. The set-up is the
call-path tests' (tests/callpath, tests/calls/process): JACK, the program
and the far ends at real-time priorities, in a network namespace of its own.

Per track, from 10 s on: the buffer's min / median / p99 / max, the seconds
it spent outside 20-60 ms, the underruns (runs of exact zeros inside a
burst of the recorded tone) and the drops or steps (second-difference
jumps inside a burst that no such run explains), then a verdict per goal.

    python3 bench/realtime/drift_bench.py [PROGRAM] [--seconds S] [--ppm P]

ZV_DRIFT_SECONDS sets the default of --seconds (600).
"""

import array
import os
import re
import subprocess
import sys
import threading
import time
import unittest
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rtrig  # noqa: E402
from rtrig import callrig, zvcall  # noqa: E402

import flacfiles  # noqa: E402
from call_path import CallPathTest, bursts, starved, write_bursts  # noqa: E402

SETTLE = 10
BAND = (20, 60)
RATE = 48000
JUMP = 150              # a second difference no tone burst reaches (see tests/callpath)
ZERO_RUN = 96           # 2 ms of exact zeros: played silence, not a quiet tone
MERGE = RATE // 5       # bursts closer than this were one burst cut by a gap
PEER_POLL = 0.5
STALL_MS = 20
STALL_NEAR = 1.0        # s around a stall's end in which an underrun or drop is its doing
STALL_DRAIN = 5.0       # s after it in which the level may still be above the band: its heap draining
# The machine may stop for a while (a virtual one does, on one CPU or on
# all, when its host is busy): every such stall makes the far ends and the
# receivers catch up at once. This probe, one on every CPU at the far ends'
# priority, prints when it woke that late.
STALL_PROBE = """
import sys, time
end = time.monotonic() + float(sys.argv[1])
last = time.monotonic()
while last < end:
    time.sleep(0.005)
    now = time.monotonic()
    if now - last - 0.005 >= %g:
        print("%%.3f %%.1f %%s" %% (now, 1000 * (now - last - 0.005), sys.argv[2]), flush=True)
    last = now
""" % (STALL_MS / 1000)
PEER_BUFFER = ("audio_buffer 20-160", "jack_connect_ports no", "auplay_format float")
# name, far end's SIP and control ports, its peer's, the program's track
FAR_ENDS = (("fast", +1, (5070, 4444), (5100, 4464), (5072, 4446), 1),
            ("slow", -1, (5080, 4454), (5110, 4474), (5082, 4456), 2))


def arguments():
    ap = rtrig.arguments()
    ap.add_argument("--seconds", type=float, default=float(os.environ.get("ZV_DRIFT_SECONDS", "600")),
                    help="seconds of the call that are measured")
    ap.add_argument("--ppm", type=float, default=200.0, help="how far the far clocks run off ours")
    args = ap.parse_args()
    zvcall.PROGRAM = os.environ["ZORVANE_PROGRAM"]
    return args


class DriftCall(CallPathTest):
    """The call-path tests' JACK server, program and page around one
    measurement; the rows of report() in self.rows."""

    def __init__(self, seconds, ppm):
        super().__init__()
        self.seconds, self.ppm = seconds, ppm
        self.rows = []
        self.stalls = []        # (s since the recording started, ms late, CPU)

    def runTest(self):
        measure(self, self.seconds, self.ppm)


class PeerHost:
    """Debian's baresip CLI answering one far end and playing it into JACK
    at the program's priority; its receive buffer read from "audio_debug"."""

    AUBUF = re.compile(r"rx:.*?aubuf:.*?\(cur ([\d.]+)ms, max [\d.]+ms, or (\d+), ur (\d+)\)", re.S)

    def __init__(self, run, name, sip, ctrl):
        self.client = "peer" + name
        self.host = callrig.FarEnd(run.root, "peer-" + name, sip, ctrl, auto_answer=True,
                                   audio=("ausine,440", "jack,default"), dumps=False,
                                   modules=("jack.so", "ausine.so"),
                                   extra_config=("jack_client_name " + self.client,) + PEER_BUFFER)
        run.addCleanup(self.host.stop)
        # The program's priority, for every thread it starts from now on too.
        subprocess.run(["chrt", "-f", "-a", "-p", "5", str(self.host.proc.pid)], check=True,
                       stdout=subprocess.DEVNULL)
        self.sip = sip
        self.levels = []        # (time, ms)
        self.overruns = self.underruns = 0

    def poll(self):
        m = self.AUBUF.search(self.host.command("audio_debug").get("data", ""))
        if m:
            self.levels.append((time.monotonic(), float(m.group(1))))
            self.overruns, self.underruns = int(m.group(2)), int(m.group(3))

    def output_port(self, jack):
        def find():
            ports = subprocess.run(["jack_lsp", "-s", jack.name], capture_output=True, text=True).stdout
            return next((p for p in ports.split("\n") if re.match(self.client + r"[^:]*:output_1$", p)), None)
        port = callrig.wait_until(find, 10)
        if not port:
            raise AssertionError("no JACK output of %s" % self.client)
        return port


def poll_peers(peers, stop):
    while not stop.wait(PEER_POLL):
        for p in peers:
            p.poll()


def tone_spans(v):
    """(first, last) of every burst of v from SETTLE s on; bursts that a
    gap shorter than MERGE cut in two count as one."""
    spans = []
    for first, last in bursts(v):
        if spans and first - spans[-1][1] < MERGE:
            spans[-1] = (spans[-1][0], last)
        else:
            spans.append((first, last))
    return [(max(first, SETTLE * RATE), last) for first, last in spans if last > SETTLE * RATE]


def recording_faults(v):
    """The seconds into the recording of its underruns and of its drops or
    steps, and the worst second difference apart from those, of one
    recorded channel."""
    raw = v.tobytes()
    underruns, steps, worst = [], [], 0
    for first, last in tone_spans(v):
        underruns += [((m.start() + 1) // 2 + first) / RATE
                      for m in re.finditer(b"\0{%d,}" % (2 * ZERO_RUN), raw[2 * first:2 * last])
                      if m.end() // 2 - (m.start() + 1) // 2 >= ZERO_RUN]
        i = first + 1
        while i < last - 1:
            d = abs(v[i + 1] - 2 * v[i] + v[i - 1])
            if d >= JUMP:
                if not starved(v, i):
                    steps.append(i / RATE)
                i += RATE // 10
                continue
            worst = max(worst, d)
            i += 1
    return underruns, steps, worst


def beyond_band(level):
    return max(BAND[0] - level, level - BAND[1])


def level_figures(levels, start, end):
    """min, median, p99, max, seconds outside BAND and the stretches
    outside it (from, to, furthest level; seconds since start) of the
    readings (time, level) from start + SETTLE to end; each reading holds
    until the next one."""
    settled = [(t, b) for t, b in levels if start + SETTLE <= t <= end]
    if not settled:
        return None
    values = sorted(b for _, b in settled)
    outside, stretches, inside = 0.0, [], True
    for (t0, b), (t1, _) in zip(settled, settled[1:] + [(end, None)]):
        was_inside, inside = inside, BAND[0] <= b <= BAND[1]
        if inside:
            continue
        outside += t1 - t0
        if was_inside:
            stretches.append([t0 - start, t1 - start, b])
        else:
            stretches[-1][1] = t1 - start
            stretches[-1][2] = max(stretches[-1][2], b, key=beyond_band)
    return {"min": values[0], "median": values[len(values) // 2],
            "p99": values[min(len(values) - 1, int(0.99 * len(values)))], "max": values[-1],
            "outside": outside, "stretches": stretches, "readings": len(values)}


def wav_channels(path):
    with wave.open(path, "rb") as w:
        channels = w.getnchannels()
        samples = array.array("h", w.readframes(w.getnframes()))
    return [samples[c::channels] for c in range(channels)]


def measure(run, seconds, ppm):
    wav = os.path.join(run.root, "bursts.wav")
    write_bursts(wav, seconds + 60, freq=480.0, on=1.0, off=0.25)
    os.environ["JACK_DEFAULT_SERVER"] = run.jack.name
    peers = []
    for name, sign, ours, theirs, host, key in FAR_ENDS:
        speed = "+0 x%.7f" % (1 + sign * ppm * 1e-6)
        run.caller(name, *ours, wav, str(key), wrapper=("faketime", "-f", speed))
        peer = PeerHost(run, name, *host)
        far = run.farend_wrapped(name + "-peer", *theirs, wav, ("faketime", "-f", speed))
        far.dial("sip:peer@127.0.0.1:%d" % peer.sip)
        far.wait_event("CALL_ESTABLISHED")
        peers.append(peer)
    ports = [p.output_port(run.jack) for p in peers]

    options = zvcall.Options()
    run.addCleanup(options.close)
    peer_wav = os.path.join(run.root, "peer.wav")
    recorder = subprocess.Popen(["jack_rec", "-f", peer_wav, "-d", str(int(seconds) + 2), "-b", "16", *ports],
                                stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    run.addCleanup(recorder.kill)
    probes = [subprocess.Popen(["taskset", "-c", str(cpu), "chrt", "-f", "5", sys.executable, "-c", STALL_PROBE,
                                str(seconds + 2), str(cpu)], stdout=subprocess.PIPE, text=True)
              for cpu in sorted(os.sched_getaffinity(0))]
    for probe in probes:
        run.addCleanup(probe.kill)
    options.set("record", "true")
    start = time.monotonic()
    folder = run.program.wait_for(r"zvaudio/record: start (.*)\n").group(1)
    stop = threading.Event()
    poller = threading.Thread(target=poll_peers, args=(peers, stop), daemon=True)
    poller.start()
    print("measuring %.0f s with far clocks at %+g and %+g ppm (program %s)" %
          (seconds, ppm, -ppm, zvcall.PROGRAM), flush=True)
    levels = run.buffers(seconds, tracks=(1, 2))
    end = time.monotonic()
    options.set("record", "false")
    stop.set()
    poller.join()
    recorded = int(run.program.wait_for(r"zvaudio/record: stop after (\d+) samples\n").group(1))
    run.lag = end - start - recorded / 2 / RATE     # the log counts the stereo local track's samples
    run.program.wait_for(r"(?s)(closed \(.*){7}")
    recorder.wait(30)
    run.stalls = sorted((float(t) - start, float(ms), int(cpu)) for probe in probes for t, ms, cpu in
                        (line.split() for line in probe.communicate(timeout=30)[0].splitlines()))

    for (_, sign, _, _, _, key), peer, peer_left in zip(FAR_ENDS, peers, wav_channels(peer_wav)):
        clock = "%+g ppm" % (sign * ppm)
        channels, samples = flacfiles.decode(os.path.join(folder, "remote-track-%d.flac" % key))
        run.rows.append({"clock": clock, "who": "program track %d" % key, "ours": True,
                         "levels": level_figures(levels[key], start, end),
                         "faults": recording_faults(samples[0::channels])})
        run.rows.append({"clock": clock, "who": "baresip CLI", "ours": False,
                         "levels": level_figures(peer.levels, start, end),
                         "faults": recording_faults(peer_left), "own": (peer.underruns, peer.overruns)})


def listed(items, most=30):
    shown = ", ".join(items[:most])
    return (shown + (" and %d more" % (len(items) - most) if len(items) > most else "")) or "none"


def after_stall(t, stalls, after=STALL_NEAR):
    """A machine stall ended from STALL_NEAR s after t to after s before it."""
    return any(-STALL_NEAR <= t - end <= after for end, _, _ in stalls)


def report(rows, stalls, lag, seconds):
    print("\nreceive buffer (ms) and the recorded tone from %d s to %.0f s; goal: %d-%d ms, "
          "no underrun, no drop" % (SETTLE, seconds, BAND[0], BAND[1]))
    print("| far clock | receiver | min | median | p99 | max | outside %d-%d ms | underruns | "
          "drops/steps | worst other step |" % BAND)
    print("|---|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        lv, (under, steps, worst) = r["levels"], r["faults"]
        figures = "%g | %g | %g | %g | %.1f s" % (lv["min"], lv["median"], lv["p99"], lv["max"], lv["outside"]) \
            if lv else "- | - | - | - | -"
        print("| %s | %s | %s | %d | %d | %d |" % (r["clock"], r["who"], figures, len(under), len(steps), worst))

    # The CPUs' probes that woke late together count as one stall.
    moments = []
    for t, ms, cpu in stalls:
        if moments and t - moments[-1][0] <= 0.5:
            moments[-1][1:] = [max(moments[-1][1], ms), moments[-1][2] | {cpu}]
        else:
            moments.append([t, ms, {cpu}])
    shown = [m for m in moments if m[0] >= SETTLE]
    print("\nmachine stalls (real-time threads, one on every CPU, woke %d ms or more late) from %d s on: %d, "
          "worst %s; at %s" % (STALL_MS, SETTLE, len(shown),
                               "%.0f ms" % max(ms for _, ms, _ in shown) if shown else "-",
                               listed(["%.1f (%.0f ms, %d of %d CPUs)" % (t, ms, len(cpus), len(os.sched_getaffinity(0)))
                                       for t, ms, cpus in shown])))
    # The recording runs on the JACK graph's clock, which stands still while
    # the machine does: the stalls are set against the recorded tone where
    # they fell on that clock.
    behind, on_recording = 0.0, []
    for t, ms, cpus in moments:
        behind += ms / 1000
        on_recording.append((t - behind, ms, cpus))
    print("the recording's clock fell %.2f s behind the wall clock; the stalls add up to %.2f s" % (lag, behind))
    print("when (s into the recording; * = within %g s of a machine stall, for the level up to %g s after it):" %
          (STALL_NEAR, STALL_DRAIN))

    def marked(ts):
        return listed(["%.1f%s" % (t, "*" if after_stall(t, on_recording) else "") for t in ts])

    for r in rows:
        lv, (under, steps, _) = r["levels"], r["faults"]
        stretches = ", ".join("%.1f%s-%.1f (%g ms)" % (t0, "*" if after_stall(t0, stalls, STALL_DRAIN) else "", t1, far)
                              for t0, t1, far in lv["stretches"][:30]) or "never" if lv else "-"
        print("%s at %s: %d readings; outside %d-%d ms %s; underruns %s; drops/steps %s" % (
            r["who"], r["clock"], lv["readings"] if lv else 0, BAND[0], BAND[1], stretches,
            marked(under), marked(steps)))
        if "own" in r:
            print("  its own buffer counted %d underruns and %d overruns over the call" % r["own"])
    print()

    for ours, theirs in zip(rows[0::2], rows[1::2]):
        if ours["levels"] and theirs["levels"]:
            print("median buffer at %s, program / baresip CLI: %g / %g ms = %.2f" % (
                ours["clock"], ours["levels"]["median"], theirs["levels"]["median"],
                ours["levels"]["median"] / max(theirs["levels"]["median"], 1e-9)))

    ours = [r for r in rows if r["ours"]]
    if not all(r["levels"] for r in ours):
        print("no STATS from the program for every track")
        return
    for goal, faults, near in (
            ("buffer within %d-%d ms" % BAND, lambda r: [t0 for t0, _, _ in r["levels"]["stretches"]], STALL_DRAIN),
            ("no underrun", lambda r: r["faults"][0], STALL_NEAR),
            ("no drop", lambda r: r["faults"][1], STALL_NEAR)):
        found = {r["clock"]: faults(r) for r in ours}
        when = stalls if goal.startswith("buffer") else on_recording
        alone = sum(1 for ts in found.values() for t in ts if not after_stall(t, when, near))
        verdict = "met" if not any(found.values()) else \
            "NOT met, only at machine stalls" if not alone else "NOT met"
        detail = ", ".join("%s %d" % (clock, len(ts)) for clock, ts in found.items())
        if goal.startswith("buffer"):
            detail = ", ".join("%s %g-%g ms, %.1f s outside in %d stretches" % (
                r["clock"], r["levels"]["min"], r["levels"]["max"], r["levels"]["outside"],
                len(found[r["clock"]])) for r in ours)
        print("%-22s %s (%s; %d not after a machine stall)" % (goal + ":", verdict, detail, alone))


def main():
    args = arguments()
    run = DriftCall(args.seconds, args.ppm)
    result = unittest.TestResult()
    run.run(result)
    for _, trace in result.errors + result.failures:
        print(trace, file=sys.stderr)
    if run.rows:
        report(run.rows, run.stalls, run.lag, args.seconds)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
