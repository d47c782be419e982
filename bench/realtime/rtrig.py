"""The set-up of the real-time benchmarks: the built program on a JACK
dummy server carrying Opus calls from Debian's baresip, and beside it, as
the peer, Debian's baresip CLI answering the same kind of calls with the
same Opus settings. Built on the call tests' rig (tests/lib/callrig.py);
everything runs in a network namespace of its own with only loopback."""

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "lib"))
import callrig  # noqa: E402
import probe  # noqa: E402
import zvcall  # noqa: E402

ACCOUNT = {"user": "zv", "password": "pw", "domain": "127.0.0.1", "regint": "0"}
TEMPLATE = os.path.join(ROOT, "tests", "shell", "config.golden")
SINE = ("ausine,440", "aubridge,nul")


def arguments():
    """Re-runs the benchmark inside a network namespace with loopback up;
    there, a parser of its arguments that takes the program's path first
    (the build's by default)."""
    zvcall.in_private_network()
    argv = sys.argv
    path = argv[1] if len(argv) > 1 and not argv[1].startswith("-") else \
        os.path.join(ROOT, "build", "zorvane-standalone")
    if not os.path.exists(path):
        sys.exit("no program at %s: build it first, or name it" % path)
    os.environ["ZORVANE_PROGRAM"] = path
    probe_lib = os.path.join(ROOT, "build", "tests", "audio_callback", "libzv_callback_probe.so")
    os.environ.setdefault("ZV_CALLBACK_PROBE", probe_lib)
    ap = argparse.ArgumentParser()
    ap.add_argument("program", nargs="?")
    return ap


def program_opus_settings():
    """The program's own Opus settings, from its configuration template,
    for the peer."""
    with open(TEMPLATE) as f:
        return [line.split("#")[0].strip() for line in f if line.startswith("opus_")]


def cpu_seconds(pid):
    """utime + stime of a process, its finished threads included."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def cpu_percent(pids, seconds, repeats):
    """Per pid, the median over repeats windows of the CPU used, as % of
    one core; the pids are measured in the same windows."""
    samples = {pid: [] for pid in pids}
    for _ in range(repeats):
        t0, c0 = time.monotonic(), {pid: cpu_seconds(pid) for pid in pids}
        time.sleep(seconds)
        t1, c1 = time.monotonic(), {pid: cpu_seconds(pid) for pid in pids}
        for pid in pids:
            samples[pid].append(100.0 * (c1[pid] - c0[pid]) / (t1 - t0))
    return {pid: sorted(v)[len(v) // 2] for pid, v in samples.items()}


class Rig:
    """A JACK server, the program, and the baresip processes added by the
    benchmark; all stopped by close()."""

    def __init__(self, preload=None):
        self.rig = callrig.Rig()
        self.root = self.rig.root
        try:
            self.jack = self.rig.add(callrig.Jack())
            self.probe_out = None
            if preload:
                self.probe_out = os.path.join(self.root, "probe-zorvane")
                with probe.preloaded(self.probe_out):
                    self.zv = self.rig.add(callrig.Program(self.root, [ACCOUNT], program=os.environ["ZORVANE_PROGRAM"]))
            else:
                self.zv = self.rig.add(callrig.Program(self.root, [ACCOUNT], program=os.environ["ZORVANE_PROGRAM"]))
            self.calls = self.rig.add(callrig.Page(self.zv.port, "/ws_calls"))
            self.baresip = self.rig.add(callrig.Page(self.zv.port, "/ws_baresip"))
            self.options = None
            callrig.wait_until(lambda: len(callrig.stats_messages(self.calls)) >= 8, 10)
        except BaseException:
            self.close()
            raise
        self.zv_calls = 0

    def baresip_cli(self, name, port, ctrl, **kw):
        """Debian's baresip answering calls (or dialling them), sine as its
        source, nothing played, the program's Opus settings."""
        kw.setdefault("audio", SINE)
        kw.setdefault("dumps", False)
        modules = tuple(kw.pop("modules", ())) + ("ausine.so",)
        extra = tuple(kw.pop("extra_config", ())) + tuple(program_opus_settings())
        return self.rig.add(callrig.FarEnd(self.root, name, port, ctrl, modules=modules,
                                           extra_config=extra, **kw))

    def program_dials(self, far, count=1):
        """The program calls far count more times, from its page."""
        for _ in range(count):
            self.zv_calls += 1
            track = str(self.zv_calls)
            self.baresip.send({"command": "call", "dial": "sip:peer@127.0.0.1:%d" % far.sip_port})
            self.calls.wait(lambda o: o.get(track, {}).get("state") == "Established", 20)

    @staticmethod
    def peer_dials(caller, host, count=1):
        for _ in range(count):
            caller.command("dial", "sip:peer@127.0.0.1:%d" % host.sip_port)
            caller.wait_event("CALL_ESTABLISHED", 20)

    def option(self, key, on):
        """Switches one of the page's options ("record", "monitoring")."""
        if not self.options:
            self.options = self.rig.add(callrig.Page(self.zv.port, "/ws_options"))
        value = "true" if on else "false"
        self.options.send({"key": key, "value": value})
        self.options.wait(lambda o: o.get(key) == value, 10)

    def zv_pid(self):
        return self.zv.p.proc.pid

    def close(self):
        self.rig.close()
