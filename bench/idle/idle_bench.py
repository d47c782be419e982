#!/usr/bin/env python3
"""What the program costs while it waits: start to "zorvane is ready." (the
median of warm starts), stop after SIGTERM, and over an idle minute with the
engine running on a JACK dummy server: CPU as % of one core, wake-ups a
second (context switches of all threads) and private memory; then the same
with a recording of all seven tracks running. Debian's baresip CLI, with the
same SIP modules and no audio device, is measured the same way in the same
run as the peer.

    bench/idle/idle_bench.py [--program build/zorvane-standalone]
                             [--starts 10] [--seconds 20]

Runs in a network namespace of its own with only loopback (as root)."""

import argparse
import json
import os
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "lib"))
from jack_server import JackServer  # noqa: E402
from zvprocess import WebSocket  # noqa: E402

PAGE_PORT = 8097
PEER_MODULES = ["opus", "g722", "g711", "stun", "turn", "ice", "dtls_srtp", "uuid"]


def in_private_network():
    if os.environ.get("ZV_BENCH_NETNS") == "1":
        return
    env = dict(os.environ, ZV_BENCH_NETNS="1")
    args = ["unshare", "-n", "--", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
            sys.executable, *sys.argv]
    os.execvpe("unshare", args, env)


class Jack(JackServer):
    def __init__(self):
        super().__init__("zvbench-%d" % os.getpid(), tries=1)


class Subject:
    """One program under test: how to start it and the line that says it is
    ready."""

    def __init__(self, name, args, env, ready):
        self.name, self.args, self.env, self.ready = name, args, env, ready

    def start(self):
        """Starts the program; returns (process, seconds to the ready line)."""
        started = time.monotonic()
        proc = subprocess.Popen(self.args, env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        seen = b""
        end = started + 30
        while self.ready not in seen:
            left = end - time.monotonic()
            if left <= 0 or proc.poll() is not None:
                proc.kill()
                raise SystemExit("%s: not ready:\n%s" % (self.name, seen.decode(errors="replace")))
            if select.select([proc.stdout], [], [], left)[0]:
                seen += os.read(proc.stdout.fileno(), 65536)
        ready = time.monotonic() - started
        proc.drain = Drain(proc)
        return proc, ready

    @staticmethod
    def stop(proc):
        """SIGTERM; returns the seconds until the process has ended."""
        started = time.monotonic()
        proc.send_signal(signal.SIGTERM)
        # A blocking wait: with a timeout, Popen.wait polls at growing
        # intervals of up to 50 ms, which rounds the figure up to its next
        # poll (3.5, 7.5, ... 63.5, 113.5 ms).
        guard = threading.Timer(30, proc.kill)
        guard.start()
        proc.wait()
        took = time.monotonic() - started
        guard.cancel()
        proc.drain.close()
        return took


class Drain:
    """Reads a process's output so that it never blocks on a full pipe."""

    def __init__(self, proc):
        self.proc = proc
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            while os.read(self.proc.stdout.fileno(), 65536):
                pass
        except OSError:
            pass

    def close(self):
        self.thread.join(5)
        self.proc.stdout.close()


def tasks(pid):
    try:
        return os.listdir("/proc/%d/task" % pid)
    except FileNotFoundError:
        return []


def sample(pid):
    """(CPU nanoseconds, context switches) summed over the process's threads."""
    cpu = switches = 0
    for tid in tasks(pid):
        base = "/proc/%d/task/%s/" % (pid, tid)
        try:
            with open(base + "schedstat") as f:
                cpu += int(f.read().split()[0])
            with open(base + "status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        switches += int(line.split()[1])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return cpu, switches


def private_mb(pid, kinds=("Private_Clean", "Private_Dirty")):
    """Memory only this process maps, in MB. Private_Clean is mostly the
    pages of the binaries that no other running process maps at the time,
    so it depends on what else runs; Private_Dirty is what it wrote."""
    total = 0
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            if line.split(":")[0] in kinds:
                total += int(line.split()[1])
    return total / 1024.0


def load(pid, seconds):
    """(CPU % of one core, wake-ups a second) over seconds."""
    cpu0, sw0 = sample(pid)
    t0 = time.monotonic()
    time.sleep(seconds)
    cpu1, sw1 = sample(pid)
    t1 = time.monotonic()
    return 100.0 * (cpu1 - cpu0) / 1e9 / (t1 - t0), (sw1 - sw0) / (t1 - t0)


def zorvane(program, root, jack):
    conf = os.path.join(root, "zorvane")
    os.makedirs(conf)
    with open(os.path.join(conf, "webapp.conf"), "w") as f:
        f.write("zv_listen\t127.0.0.1\nzv_port\t%d\nzv_provisioning_host\t127.0.0.1:1\n"
                % PAGE_PORT)
    opener = os.path.join(root, "opener.sh")
    with open(opener, "w") as f:
        f.write("#!/bin/sh\nexit 0\n")
    os.chmod(opener, 0o755)
    env = {k: v for k, v in os.environ.items() if not k.startswith("XDG_")}
    env.update(HOME=root, ZORVANE_OPENER=opener, JACK_DEFAULT_SERVER=jack.name,
               JACK_NO_AUDIO_RESERVATION="1")
    env.pop("DISPLAY", None)
    return Subject("zorvane", [program, "-f", conf], env, b"zorvane is ready.")


def baresip(root):
    conf = os.path.join(root, "baresip")
    os.makedirs(conf)
    lines = ["poll_method\t\tepoll", "sip_listen\t\t127.0.0.1:5099",
             "net_interface\t\t127.0.0.1", "audio_player\t\taubridge,x",
             "audio_source\t\tausine,440", "module_path\t\t/usr/lib/baresip/modules"]
    lines += ["module\t\t\t%s.so" % m for m in PEER_MODULES + ["ausine", "aubridge"]]
    lines += ["module_tmp\t\taccount.so", "module_app\t\tmenu.so", ""]
    with open(os.path.join(conf, "config"), "w") as f:
        f.write("\n".join(lines))
    with open(os.path.join(conf, "accounts"), "w") as f:
        f.write("<sip:peer@127.0.0.1:5099>;regint=0\n")
    env = dict(os.environ, HOME=root)
    return Subject("baresip", ["baresip", "-f", conf], env, b"baresip is ready.")


def record(on):
    ws = WebSocket(PAGE_PORT, "/ws_options")
    ws.recv()
    ws.send(json.dumps({"key": "record", "value": "true" if on else "false"}))
    end = time.monotonic() + 10
    while time.monotonic() < end:
        try:
            if json.loads(ws.recv(1)).get("record") == ("true" if on else "false"):
                break
        except socket.timeout:
            pass
    ws.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", default=os.path.join(ROOT, "build", "zorvane-standalone"))
    ap.add_argument("--starts", type=int, default=10)
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--settle", type=float, default=3)
    opts = ap.parse_args()
    in_private_network()

    root = tempfile.mkdtemp(prefix="zv-bench-")
    jack = Jack()
    try:
        subjects = [zorvane(opts.program, root, jack), baresip(root)]
        figures = {}
        for s in subjects:
            # One start warms the caches and writes the configuration.
            proc, _ = s.start()
            time.sleep(1)
            s.stop(proc)
            starts, stops = [], []
            for _ in range(opts.starts):
                proc, ready = s.start()
                time.sleep(0.5)
                starts.append(ready)
                stops.append(s.stop(proc))
            proc, _ = s.start()
            # An open page keeps the program running when the last other
            # page closes.
            keep = WebSocket(PAGE_PORT, "/ws_contacts") if s.name == "zorvane" else None
            time.sleep(opts.settle)
            cpu, wakes = load(proc.pid, opts.seconds)
            mem = private_mb(proc.pid)
            dirty = private_mb(proc.pid, ("Private_Dirty",))
            f = dict(start=statistics.median(starts), start_min=min(starts),
                     start_max=max(starts), stop=statistics.median(stops), stop_max=max(stops),
                     cpu=cpu, wakes=wakes, mem=mem, dirty=dirty,
                     threads=len(tasks(proc.pid)))
            if s.name == "zorvane":
                record(True)
                time.sleep(1)
                f["rec_cpu"], f["rec_wakes"] = load(proc.pid, opts.seconds)
                f["rec_mem"] = private_mb(proc.pid)
                record(False)
                time.sleep(2)
                f["after_mem"] = private_mb(proc.pid)
                f["after_cpu"], f["after_wakes"] = load(proc.pid, opts.seconds / 2)
                keep.close()
            s.stop(proc)
            figures[s.name] = f
    finally:
        jack.stop()
        shutil.rmtree(root, ignore_errors=True)

    z, b = figures["zorvane"], figures["baresip"]

    def ratio(a, c):
        return "%.2f x" % (a / c) if c > 0 else "-"

    print("%-34s %12s %12s %8s" % ("", "zorvane", "baresip", "ratio"))
    rows = [("start to ready, median ms", z["start"] * 1e3, b["start"] * 1e3),
            ("start, min-max ms", "%.0f-%.0f" % (z["start_min"] * 1e3, z["start_max"] * 1e3),
             "%.0f-%.0f" % (b["start_min"] * 1e3, b["start_max"] * 1e3)),
            ("stop after SIGTERM, median ms", z["stop"] * 1e3, b["stop"] * 1e3),
            ("stop, max ms", z["stop_max"] * 1e3, b["stop_max"] * 1e3),
            ("idle CPU, % of a core", z["cpu"], b["cpu"]),
            ("idle wake-ups / s", z["wakes"], b["wakes"]),
            ("idle private memory, MB", z["mem"], b["mem"]),
            ("  of it written (Private_Dirty), MB", z["dirty"], b["dirty"]),
            ("threads", z["threads"], b["threads"]),
            ("recording: CPU, % of a core", z["rec_cpu"], None),
            ("recording: wake-ups / s", z["rec_wakes"], None),
            ("recording: private memory, MB", z["rec_mem"], None),
            ("after recording: CPU, % of a core", z["after_cpu"], None),
            ("after recording: wake-ups / s", z["after_wakes"], None),
            ("after recording: private MB", z["after_mem"], None)]
    for name, a, c in rows:
        if isinstance(a, str):
            print("%-34s %12s %12s" % (name, a, c))
        elif c is None:
            print("%-34s %12.2f" % (name, a))
        else:
            print("%-34s %12.2f %12.2f %8s" % (name, a, c, ratio(a, c)))


if __name__ == "__main__":
    main()
