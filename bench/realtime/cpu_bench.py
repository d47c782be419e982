"""Whole-program CPU of the built program carrying 1 and 6 Opus calls and
6 calls while recording, side by side in the same run with Debian's baresip
CLI answering the same calls (sine source, no player, the program's Opus
settings; recording as WAV with its sndfile module). CPU is utime + stime
from /proc over a window, the median of a few windows, as % of one core.

    python3 bench/realtime/cpu_bench.py [PROGRAM] [--window S] [--repeats N]
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rtrig  # noqa: E402

GOALS = {"1 Opus call": 1.3, "6 Opus calls": 1.10, "6 calls + recording": None}


def main():
    ap = rtrig.arguments()
    ap.add_argument("--window", type=float, default=10.0, help="seconds of one window")
    ap.add_argument("--repeats", type=int, default=3, help="windows per load; the median counts")
    ap.add_argument("--settle", type=float, default=3.0, help="seconds after the calls are up")
    args = ap.parse_args()

    rig = rtrig.Rig()
    try:
        far = rig.baresip_cli("far", 5070, 4444, auto_answer=True)
        host = rig.baresip_cli("host", 5072, 4446, auto_answer=True)
        host_rec = rig.baresip_cli("host-rec", 5076, 4450, auto_answer=True, dumps=True)
        caller = rig.baresip_cli("caller", 5074, 4448, auto_answer=False)
        caller_rec = rig.baresip_cli("caller-rec", 5078, 4452, auto_answer=False)
        zv = rig.zv_pid()
        rows = []

        def measure(name, peer):
            time.sleep(args.settle)
            cpu = rtrig.cpu_percent([zv, peer.proc.pid], args.window, args.repeats)
            rows.append((name, cpu[zv], cpu[peer.proc.pid]))
            print("%-22s program %6.2f %%  baresip %6.2f %%  ratio %5.2f" %
                  (name, cpu[zv], cpu[peer.proc.pid], cpu[zv] / max(cpu[peer.proc.pid], 1e-9)),
                  flush=True)

        rig.program_dials(far)
        rig.peer_dials(caller, host)
        measure("1 Opus call", host)

        rig.program_dials(far, 5)
        rig.peer_dials(caller, host, 5)
        measure("6 Opus calls", host)

        # The peer records its six calls as WAV from their start on; the
        # program starts recording its own six.
        caller.stop()
        rig.peer_dials(caller_rec, host_rec, 6)
        rig.option("record", True)
        measure("6 calls + recording", host_rec)
        rig.option("record", False)
    finally:
        rig.close()

    print("\nwhole-program CPU, %% of one core (median of %d windows of %.0f s)" %
          (args.repeats, args.window))
    print("| load | program | baresip CLI | ratio | goal |")
    print("|---|---|---|---|---|")
    for name, ours, peer in rows:
        goal = GOALS.get(name)
        print("| %s | %.2f %% | %.2f %% | %.2f | %s |" %
              (name, ours, peer, ours / max(peer, 1e-9), "%.2f" % goal if goal else "-"))
    if len(rows) == 3:
        print("recording adds %.2f %% of a core to the program (goal: at most 2 %%)" %
              (rows[2][1] - rows[1][1]))


if __name__ == "__main__":
    main()
