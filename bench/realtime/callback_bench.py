"""The audio callback with six Opus calls: how long PortAudio's callbacks of
the built program run (mean, p99, p99.9 and worst, and as % of the 10 ms
period), and what they do that a real-time thread must not (allocations,
frees, contended locks, waits), from the callback probe preloaded into the
program (tests/audio_callback; the shipped build carries nothing of it).

The peer, in the same run and on the same JACK server: Debian's baresip CLI
with its PortAudio module carrying six calls of its own, probed the same
way. It opens a stream per call and direction, so its figures per period
add up all its callbacks.

    python3 bench/realtime/callback_bench.py [PROGRAM] [--seconds S] [--calls N]
"""

import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rtrig  # noqa: E402
from rtrig import probe  # noqa: E402


def describe(name, w):
    print("%s:" % name)
    for kind in probe.KINDS:
        n = w.callbacks(kind)
        if not n:
            continue
        period_us = w.period_ms(kind) * 1000.0
        print("  %-6s %6d callbacks of %.1f ms: mean %7.1f us (%5.2f %%), p99 %6.0f us, p99.9 %6.0f us, "
              "worst %7.1f us (%5.2f %% of the period)" %
              (kind, n, w.period_ms(kind), w.mean_us(kind), 100 * w.mean_us(kind) / period_us,
               w.percentile_us(kind, 99), w.percentile_us(kind, 99.9), w.worst_us(kind),
               100 * w.worst_us(kind) / period_us))
    periods = max(1, w.callbacks("input") or max(w.callbacks(k) for k in probe.KINDS))
    alloc = w.allocations("callback")
    print("  in the callbacks, per input callback: %.1f allocations and frees (%s), %.1f mutex locks (%d contended, "
          "longest wait %.0f us), %.1f condition signals, %d waits" %
          (alloc["total"] / periods,
           ", ".join("%s %d" % (k, v) for k, v in alloc.items() if k != "total" and v),
           w.count("callback.mutex_lock") / periods, w.count("callback.mutex_contended"),
           w.window_max["mutex_wait"] / 1000.0, w.count("callback.cond_signal") / periods,
           w.count("callback.cond_wait")))


def main():
    ap = rtrig.arguments()
    ap.add_argument("--seconds", type=float, default=30.0)
    ap.add_argument("--calls", type=int, default=6)
    args = ap.parse_args()

    rig = rtrig.Rig(preload=True)
    try:
        far = rig.baresip_cli("far", 5070, 4444, auto_answer=True)
        peer_out = os.path.join(rig.root, "probe-baresip")
        with probe.preloaded(peer_out):
            host = rig.baresip_cli("host", 5072, 4446, auto_answer=True,
                                   audio=("portaudio,0", "portaudio,0"), modules=("portaudio.so",))
        caller = rig.baresip_cli("caller", 5074, 4448, auto_answer=False)
        rig.program_dials(far, args.calls)
        rig.peer_dials(caller, host, args.calls)
        time.sleep(2)
        # Both probes over the same seconds.
        result = {}
        t = threading.Thread(target=lambda: result.update(peer=probe.watch(peer_out, args.seconds)))
        t.start()
        ours = probe.watch(rig.probe_out, args.seconds)
        t.join()
        peer = result["peer"]
    finally:
        rig.close()

    print("\naudio callbacks with %d Opus calls over %.0f s" % (args.calls, args.seconds))
    describe("program (PortAudio input and output stream on JACK)", ours)
    describe("baresip CLI (its PortAudio module, one stream per call and direction)", peer)
    streams = lambda w: sum(1 for k in probe.KINDS if w.callbacks(k)) and \
        round(sum(w.callbacks(k) * w.period_ms(k) for k in probe.KINDS) / 1000.0 / w.seconds())
    worst = lambda w: max(100 * w.worst_us(k) / (w.period_ms(k) * 1000.0)
                          for k in probe.KINDS if w.callbacks(k))
    print("\n| | program (%d streams) | baresip CLI (%d streams) | ratio |" % (streams(ours), streams(peer)))
    print("|---|---|---|---|")
    print("| time in callbacks, all streams, %% of real time | %.2f %% | %.2f %% | %.2f |" %
          (ours.busy_percent(), peer.busy_percent(), ours.busy_percent() / max(peer.busy_percent(), 1e-9)))
    print("| worst single callback, %% of its period | %.1f %% | %.1f %% | %.2f |" %
          (worst(ours), worst(peer), worst(ours) / max(worst(peer), 1e-9)))
    worst_pct = 100 * ours.worst_us("input") / (ours.period_ms("input") * 1000.0 or 1)
    print("the program's input callback (the engine period): worst %.1f %% of the period (goal: under 25 %%)" %
          worst_pct)


if __name__ == "__main__":
    main()
