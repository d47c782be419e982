"""Receiving over impaired links: the built program and, as the peer,
Debian's baresip CLI receive the same kind of far end (Debian's baresip
sending a steady tone, Opus) over the same emulated link (tests/lib) in
one run. Per link: the broken audio of the tone (silent gaps and dropouts,
tests/lib/tone_breaks.py) in what each played (the program's recording of
the caller's track; baresip CLI's received audio as its sndfile module
wrote it), the median and p95 of each one's buffer (the program's STATS
"buffer"; baresip CLI's audio buffer plus the frames in its jitter buffer,
from "audio_debug" every half second) and the late packets (the jitter
buffers' "late").

Then, on a calm link, a 2 s outage (every packet dropped) and a 2 s stall
(every packet held and delivered together at its end): the time until
each receiver's buffer is back within 5 ms of its level before; and a far
end that vanishes (killed, no BYE): how long the program's call stays up
(at most 70 s), and how long the program then takes to quit.

    python3 bench/network/network_bench.py [PROGRAM] [--seconds S] [--short]
                                           [--links NAME,...] [--seed N]

--seconds (or ZV_NETWORK_SECONDS) is each link's measured time (120 s);
--short measures 20 s a link and waits 10 s for the vanished far end.
Everything runs in a network namespace of its own, with JACK and the
program at real-time priorities as in the call-path tests."""

import os
import re
import signal
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "bench", "realtime"))
import rtrig  # noqa: E402
from rtrig import callrig, zvcall  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tests", "lib"))
from impaired_call import NEAR_ADDRESS, PROGRAM_URI, ImpairedCallTest  # noqa: E402
from impairment import Profile  # noqa: E402
from tone_breaks import broken_audio, wav_channel  # noqa: E402

LINKS = (("calm", Profile()),
         ("80 ms +- 30 ms jitter", Profile(delay_ms=80, jitter_ms=30)),
         ("5 % loss + 30 +- 20 ms", Profile(loss=0.05, delay_ms=30, jitter_ms=20)),
         ("10 % reordered by 30 ms", Profile(reorder=0.1, reorder_ms=30)))
SETTLE = 5              # s of each call before it is measured
PTIME_MS = 20
POLL = 0.5
CUT_AT, CUT_S, CUT_AFTER = 8.0, 2.0, 20.0
BACK_WITHIN = 5         # ms beyond the range the level kept before an outage
VANISH_WAIT = 70
PEER_SIP, PEER_CTRL = 5100, 4464
PEER_CONFIG = ("audio_buffer 20-160", "jack_connect_ports no", "auplay_format float",
               "jack_client_name peercli")


def arguments():
    ap = rtrig.arguments()
    ap.add_argument("--seconds", type=float, default=float(os.environ.get("ZV_NETWORK_SECONDS", "120")))
    ap.add_argument("--short", action="store_true", help="20 s a link, 10 s for the vanished far end")
    ap.add_argument("--links", default="", help="comma-separated names of LINKS (default: all), "
                    "'outage', 'stall', 'vanished'")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    if args.short:
        args.seconds = 20
    zvcall.PROGRAM = os.environ["ZORVANE_PROGRAM"]
    return args


class PeerCli:
    """Debian's baresip CLI answering on the near side, playing into JACK
    at the program's priority, with the program's Opus settings and
    receive range; what it decodes is written by its sndfile module."""

    AUBUF = re.compile(r"rx:.*?aubuf:.*?\(cur ([\d.]+)ms", re.S)
    JBUF = re.compile(r"jitter buffer debug---.*?cur=(\d+)(?:.*?late=(\d+))?", re.S)

    def __init__(self, run):
        os.environ["JACK_DEFAULT_SERVER"] = run.jack.name
        self.far = callrig.FarEnd(run.root, "peer-cli", PEER_SIP, PEER_CTRL, auto_answer=True,
                                  audio=("ausine,440", "jack,default"), modules=("jack.so", "ausine.so"),
                                  extra_config=PEER_CONFIG + tuple(rtrig.program_opus_settings()),
                                  address=NEAR_ADDRESS)
        run.addCleanup(self.far.stop)
        subprocess.run(["chrt", "-f", "-a", "-p", "5", str(self.far.proc.pid)], check=True,
                             stdout=subprocess.DEVNULL)
        self.uri = "sip:peer@%s:%d" % (NEAR_ADDRESS, PEER_SIP)
        self.levels = []        # (time, ms)
        self.late = []

    def poll(self):
        text = self.far.command("audio_debug").get("data", "")
        a, j = self.AUBUF.search(text), self.JBUF.search(text)
        if a and j:
            self.levels.append((time.monotonic(), float(a.group(1)) + PTIME_MS * int(j.group(1))))
            if j.group(2) is not None:
                self.late.append(int(j.group(2)))

    def received(self):
        return self.far.dumps("-dec.wav")

    def output_port(self, jack):
        def find():
            ports = subprocess.run(["jack_lsp", "-s", jack.name], capture_output=True, text=True).stdout
            return next((p for p in ports.split("\n") if re.match(r"peercli[^:]*:output_1$", p)), None)
        port = callrig.wait_until(find, 10)
        if not port:
            raise AssertionError("no JACK output of baresip CLI")
        return port


class Figures:
    """One receiver's figures on one link."""

    def __init__(self, breaks, levels, late, recovery=None, decoded=None):
        self.breaks, self.late, self.recovery, self.decoded = breaks, late, recovery, decoded
        values = sorted(b for _, b in levels)
        self.median = values[len(values) // 2] if values else None
        self.p95 = values[min(len(values) - 1, int(0.95 * len(values)))] if values else None


def back_after(levels, cut_start, cut_end):
    """Seconds from cut_end until the level is back within BACK_WITHIN of
    the range it kept over the 5 s before cut_start (its 5th to 95th
    percentile) and stays there for a second; None if it never is."""
    before = sorted(b for t, b in levels if cut_start - 5 <= t < cut_start)
    if not before:
        return None
    low = before[int(0.05 * len(before))] - BACK_WITHIN
    high = before[int(0.95 * len(before))] + BACK_WITHIN
    since = None
    for t, b in levels:
        if t < cut_end:
            continue
        if low <= b <= high:
            since = t if since is None else since
            if t - since >= 1.0:
                return since - cut_end
        else:
            since = None
    return None


class NetworkRun(ImpairedCallTest):
    """The set-up around every measurement; the figures in self.rows."""

    def __init__(self, args):
        super().__init__()
        self.args = args
        self.rows = []          # (link name, program Figures, peer Figures)
        self.vanished = None

    def runTest(self):
        self.peer = PeerCli(self)
        self.to_program = self.far_end("to-program", 5070, 4444)
        self.to_peer = self.far_end("to-peer", 5080, 4454)
        wanted = [n for n in self.args.links.split(",") if n]
        for name, profile in LINKS:
            if not wanted or name in wanted:
                self.link_run(name, profile, self.args.seconds)
        for hold in (False, True):
            name = "stall" if hold else "outage"
            if not wanted or name in wanted:
                self.link_run("2 s %s" % name, Profile(), CUT_AFTER, cut=hold)
        if not wanted or "vanished" in wanted:
            self.vanish(10 if self.args.short else VANISH_WAIT)

    def link_run(self, name, profile, seconds, cut=None):
        print("%s: %s, %g s" % (name, profile.describe(), seconds), flush=True)
        self.link.set(inbound=profile)
        events = [len(f.events) for f in (self.to_program, self.to_peer)]
        before = len(self.peer.received())
        self.to_program.dial(PROGRAM_URI)
        self.to_peer.dial(self.peer.uri)
        self.page.until(lambda m: zvcall.state_of(m, "1") == "Established", timeout=30)
        for far, start in zip((self.to_program, self.to_peer), events):
            far.wait_event("CALL_ESTABLISHED", start=start)
        time.sleep(SETTLE)

        self.peer.levels, self.peer.late = [], []
        stop = threading.Event()
        poller = threading.Thread(target=self.poll_peer, args=(stop,), daemon=True)
        poller.start()
        moments = {}

        def act(elapsed):
            if cut is not None and "cut" not in moments and elapsed >= CUT_AT:
                moments["cut"] = time.monotonic()
                self.link.outage(CUT_S, direction="inbound", hold=cut)

        played = os.path.join(self.root, "peer-played.wav")
        recorder = subprocess.Popen(["jack_rec", "-f", played, "-d", str(int(seconds) + 1), "-b", "16",
                                     self.peer.output_port(self.jack)],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        started = time.monotonic()
        call = self.record(seconds, during=act)
        stop.set()
        poller.join()
        recorder.wait(30)
        for far, start in zip((self.to_program, self.to_peer), events):
            far.hangup()
            far.wait_event("CALL_CLOSED", start=start)
        self.page.until(lambda m: zvcall.state_of(m, "1") is None, timeout=15)
        dec = callrig.wait_until(lambda: len(self.peer.received()) > before and self.peer.received()[-1], 10)
        time.sleep(0.5)         # sndfile closes its file as the call ends
        _, decoded = wav_channel(dec)
        _, heard = wav_channel(played)

        program_recovery = peer_recovery = None
        program_levels = [(started + t, b) for t, b in call.buffers(1)]
        if "cut" in moments:
            cut_start = moments["cut"]
            program_recovery = back_after(program_levels, cut_start, cut_start + CUT_S)
            peer_recovery = back_after(self.peer.levels, cut_start, cut_start + CUT_S)
        late = self.peer.late[-1] - self.peer.late[0] if self.peer.late else None
        self.rows.append((name,
                          Figures(call.breaks(1, all_of_them=True), program_levels, call.jbuf(1, "late"),
                                  program_recovery),
                          Figures(broken_audio(heard), self.peer.levels, late, peer_recovery,
                                  broken_audio(decoded, SETTLE, SETTLE + seconds))))
        ours, peer = self.rows[-1][1:]
        print("  program: %s\n  baresip CLI played: %s\n  baresip CLI decoded: %s" % (
            ours.breaks.describe(), peer.breaks.describe(), peer.decoded.describe()), flush=True)

    def poll_peer(self, stop):
        while not stop.wait(POLL):
            self.peer.poll()

    def vanish(self, wait):
        """The program's far end killed in a call: how long the call stays
        up, then how long the program takes to quit."""
        print("vanished far end: waiting up to %d s for the call to end" % wait, flush=True)
        self.link.set(inbound=Profile())
        start = len(self.to_program.events)
        self.to_program.dial(PROGRAM_URI)
        self.page.until(lambda m: zvcall.state_of(m, "1") == "Established", timeout=30)
        self.to_program.wait_event("CALL_ESTABLISHED", start=start)
        time.sleep(SETTLE)
        os.killpg(self.to_program.proc.pid, signal.SIGKILL)
        killed = time.monotonic()
        ended = None
        try:
            self.page.until(lambda m: zvcall.state_of(m, "1") is None, timeout=wait)
            ended = time.monotonic() - killed
        except (AssertionError, TimeoutError):
            pass
        quit_start = time.monotonic()
        self.program.proc.send_signal(signal.SIGTERM)
        self.program.proc.wait(120)
        self.vanished = (ended, wait, time.monotonic() - quit_start)


def seconds_or(value, unit="s", none="-"):
    return none if value is None else "%.1f %s" % (value, unit)


def report(rows, vanished, seconds):
    print("\nper link (far end -> receiver), %g s measured after %d s of each call; baresip CLI's broken audio "
          "as it played it (its JACK output) and as it decoded it (its sndfile module)" % (seconds, SETTLE))
    print("| link | program: broken audio | baresip CLI: played | baresip CLI: decoded | program buffer "
          "median / p95 | baresip CLI buffer median / p95 | program: late packets | back at level program / CLI |")
    print("|---|---|---|---|---|---|---|---|")

    def broken(b):
        return "%.2f s (%d gaps, %d dropouts)" % (b.seconds, len(b.gaps), len(b.dropouts))

    def level(f):
        return "%g / %g ms" % (f.median, f.p95) if f.median is not None else "-"

    for name, ours, peer in rows:
        back = "%s / %s" % (seconds_or(ours.recovery, "s", "never"), seconds_or(peer.recovery, "s", "never")) \
            if name.startswith("2 s") else ""
        print("| %s | %s | %s | %s | %s | %s | %s | %s |" % (
            name, broken(ours.breaks), broken(peer.breaks), broken(peer.decoded), level(ours), level(peer),
            "-" if ours.late is None else ours.late, back))
    print("(baresip CLI's late packets are not counted by Debian's libre, built without jitter buffer statistics)")
    print("\ngoal per link: broken audio no more than baresip CLI's (played), median buffer at most 0.6 x its")
    for name, ours, peer in rows:
        if ours.median is None or peer.median is None:
            continue
        ok = ours.breaks.seconds <= peer.breaks.seconds and ours.median <= 0.6 * peer.median
        print("  %-26s %s (broken %.2f vs %.2f s, buffer %.2f x)" % (
            name + ":", "met" if ok else "NOT met", ours.breaks.seconds, peer.breaks.seconds,
            ours.median / max(peer.median, 1e-9)))
    if vanished:
        ended, wait, quit_s = vanished
        print("\nvanished far end (killed, no BYE): the call %s; then quitting took %.1f s" % (
            "ended after %.1f s" % ended if ended is not None else "was still up after %d s" % wait, quit_s))


def main():
    args = arguments()
    run = NetworkRun(args)
    result = unittest.TestResult()
    run.run(result)
    for _, trace in result.errors + result.failures:
        print(trace, file=sys.stderr)
    if run.rows or run.vanished:
        report(run.rows, run.vanished, args.seconds)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
