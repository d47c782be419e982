"""Mouth-to-ear on one JACK graph: the host's input and a far end's output,
and back, measured with chirps and cross-correlation (zvm2e, built from
mouth_to_ear.cpp). The far end is Debian's baresip with its JACK module. The
host is first the built program, then, in the same run, Debian's baresip
CLI with its JACK module (the peer) calling the same far end with the same
Opus and buffer settings. Prints host->caller, caller->host and the
program's monitor (its input in its own output) in ms, against the codec's
own delay (20 ms frame + 6.5 ms look-ahead).

    python3 bench/realtime/mouth_to_ear.py [PROGRAM] [--seconds S]
"""

import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rtrig  # noqa: E402
from rtrig import callrig  # noqa: E402

CODEC_MS = 20 + 6.5
PATHS = ("host->caller", "caller->host", "monitor")
BUFFERS = ("audio_buffer 20-160", "jitter_buffer_delay 1-15", "jack_connect_ports no",
           "ausrc_format float", "auplay_format float")


def ports(jack):
    """{port: "input" or "output"} of the JACK server."""
    out = subprocess.run(["jack_lsp", "-p", "-s", jack.name], capture_output=True,
                         text=True).stdout
    found, name = {}, None
    for line in out.splitlines():
        if not line.startswith("\t"):
            name = line.strip()
        elif "properties:" in line and name:
            found[name] = "input" if "input" in line else "output"
    return found


def client_ports(jack, client_re, direction):
    return sorted(p for p, d in ports(jack).items()
                  if d == direction and re.match(client_re + ":", p))


def wait_ports(jack, client_re, direction, count=1):
    got = callrig.wait_until(lambda: len(client_ports(jack, client_re, direction)) >= count and
                             client_ports(jack, client_re, direction), 10)
    if not got:
        raise AssertionError("no %s ports of %s: %r" % (direction, client_re, ports(jack)))
    return got


def measure(binary, seconds, to_host, to_far, from_host, from_far):
    args = [binary, str(seconds), "--to-host", *to_host, "--to-far", *to_far,
            "--from-host", *from_host, "--from-far", *from_far]
    out = subprocess.run(args, capture_output=True, text=True, timeout=seconds + 60)
    if out.returncode:
        raise AssertionError("zvm2e failed:\n" + out.stderr)
    if out.stderr:
        print(out.stderr, file=sys.stderr, end="")
    figures = {}
    for line in out.stdout.splitlines():
        path, median, low, high, found, sent = line.split()
        figures[path] = (None if median == "-" else float(median),
                         low, high, int(found), int(sent))
    return figures


def show(name, figures):
    print("%s:" % name)
    for path in ("reference",) + PATHS:
        if path in figures:
            median, low, high, found, sent = figures[path]
            text = "%.1f ms (%s-%s, %d of %d chirps)" % (median, low, high, found, sent) \
                if median is not None else "not found (%d chirps)" % sent
            print("  %-13s %s" % (path, text))


def main():
    ap = rtrig.arguments()
    ap.add_argument("--seconds", type=float, default=20.0)
    args = ap.parse_args()
    binary = os.path.join(rtrig.ROOT, "build", "bench", "realtime", "zvm2e")

    rig = rtrig.Rig()
    try:
        far = rig.baresip_cli("far", 5070, 4444, auto_answer=True, audio=("jack,default", "jack,default"),
                              modules=("jack.so",),
                              extra_config=("jack_client_name far",) + BUFFERS)
        peer = rig.baresip_cli("host", 5072, 4446, auto_answer=False, audio=("jack,default", "jack,default"),
                               modules=("jack.so",),
                               extra_config=("jack_client_name hostpeer",) + BUFFERS)
        jack = rig.jack

        # The program, monitoring its input, calls the far end.
        rig.option("monitoring", True)
        rig.program_dials(far)
        far_in = wait_ports(jack, r"far[^:]*", "input")
        far_out = wait_ports(jack, r"far[^:]*", "output")
        zv_in = wait_ports(jack, r"PortAudio[^:]*", "input", 2)
        zv_out = wait_ports(jack, r"PortAudio[^:]*", "output", 2)
        time.sleep(2)
        since = time.monotonic()
        ours = measure(binary, args.seconds, zv_in, far_in, zv_out[:1], far_out[:1])
        buffers = [o["tracks"][0].get("buffer") for _, o in callrig.stats_messages(rig.calls, since)
                   if o["tracks"][0].get("call")]
        buffers = sorted(b for b in buffers if isinstance(b, (int, float)))
        far.command("hangup")
        callrig.wait_until(lambda: not client_ports(jack, r"far[^:]*", "input"), 10)

        # The peer calls the same far end.
        peer.command("dial", "sip:peer@127.0.0.1:%d" % far.sip_port)
        peer.wait_event("CALL_ESTABLISHED", 20)
        far_in = wait_ports(jack, r"far[^:]*", "input")
        far_out = wait_ports(jack, r"far[^:]*", "output")
        host_in = wait_ports(jack, r"hostpeer[^:]*", "input")
        host_out = wait_ports(jack, r"hostpeer[^:]*", "output")
        time.sleep(2)
        theirs = measure(binary, args.seconds, host_in, far_in, host_out[:1], far_out[:1])
    finally:
        rig.close()

    print("\nmouth-to-ear on one JACK graph (10 ms periods), Opus: 20 ms frame + 6.5 ms look-ahead = %.1f ms"
          % CODEC_MS)
    show("program as the host", ours)
    show("baresip CLI as the host", theirs)
    print("\n| path | program | baresip CLI | ratio |")
    print("|---|---|---|---|")
    for path in PATHS:
        a = ours.get(path, (None,))[0]
        b = theirs.get(path, (None,))[0]
        print("| %s | %s | %s | %s |" % (
            path, "%.1f ms" % a if a is not None else "-", "%.1f ms" % b if b is not None else "-",
            "%.2f" % (a / b) if a is not None and b else "-"))
    buffer = buffers[len(buffers) // 2] if buffers else None
    h2c = ours.get("host->caller", (None,))[0]
    c2h = ours.get("caller->host", (None,))[0]
    if h2c is not None:
        print("host->caller beyond the codec's delay: %.1f ms (through the program's transmit path "
              "and the far end's receive path)" % (h2c - CODEC_MS))
    if c2h is not None and buffer is not None:
        print("caller->host beyond the codec's delay and the receive buffer (STATS \"buffer\" %s ms): "
              "%.1f ms" % (buffer, c2h - CODEC_MS - buffer))


if __name__ == "__main__":
    main()
