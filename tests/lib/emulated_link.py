"""An impaired network link between the caller's network namespace (the
near side: the program, the page, JACK's clients) and a far side where the
far ends run, made of network namespaces of the link's own:

    near (this process's namespace)  NEAR_ADDRESS
      | veth
    middle namespace: routes every packet from either veth into a TUN
      | veth        device, where the emulator (netem.py) impairs the media
    far namespace                    FAR_ADDRESS

The addresses are of the benchmarking range (198.18.0.0/15) and exist only
in these namespaces. The near side must be a private network namespace
that the test made itself (zvcall.in_private_network); the link refuses to
start in one with any other interface."""

import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from impairment import DIRECTIONS, Profile  # noqa: E402
from zvtest import end_process  # noqa: E402

NEAR_ADDRESS = "198.18.1.2"
FAR_ADDRESS = "198.18.2.2"
NEAR_NET = "198.18.1.0/24"
FAR_NET = "198.18.2.0/24"
MIDDLE_NEAR = "198.18.1.1"
MIDDLE_FAR = "198.18.2.1"
# Above the program and the far ends (5), below JACK (70): the emulator's
# timing is what the tests measure against.
PRIORITY = 10


def links_here():
    """The names of this network namespace's interfaces."""
    out = subprocess.run(["ip", "-o", "link", "show"], check=True, capture_output=True, text=True).stdout
    return [line.split(":")[1].strip().split("@")[0] for line in out.splitlines()]


def ip(*args):
    subprocess.run(["ip", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def as_dict(profile):
    if profile is None:
        return {}
    return profile.to_dict() if isinstance(profile, Profile) else dict(profile)


class Link:
    """The namespaces, their routes and the emulator running, with the
    given Profile (or dict of its fields) per direction: inbound is far to
    near. close() takes it all down."""

    def __init__(self, inbound=None, outbound=None, seed=1):
        if links_here() != ["lo"]:
            raise RuntimeError("an emulated link is made only in a private network namespace that has "
                               "nothing but loopback (it has %s)" % ", ".join(links_here()))
        tag = "%d-%d" % (os.getpid(), time.monotonic_ns() % 100000)
        self.middle, self.far = "zvnet-%s-m" % tag, "zvnet-%s-f" % tag
        self.dir = tempfile.mkdtemp(prefix="zvnet-")
        self.control_path = os.path.join(self.dir, "control")
        self.proc = None
        self.control = None
        self.namespaces = []
        try:
            self._build()
            self._start({"seed": seed, "inbound": as_dict(inbound), "outbound": as_dict(outbound)})
        except BaseException:
            self.close()
            raise

    def _build(self):
        m, f = self.middle, self.far
        for ns in (m, f):
            ip("netns", "add", ns)
            self.namespaces.append(ns)
            ip("-n", ns, "link", "set", "lo", "up")
        ip("link", "add", "name", "zvnear", "type", "veth", "peer", "name", "mnear", "netns", m)
        ip("-n", m, "link", "add", "name", "mfar", "type", "veth", "peer", "name", "zvfar", "netns", f)
        ip("addr", "add", NEAR_ADDRESS + "/24", "dev", "zvnear")
        ip("link", "set", "zvnear", "up")
        ip("route", "add", FAR_NET, "via", MIDDLE_NEAR)
        ip("-n", f, "addr", "add", FAR_ADDRESS + "/24", "dev", "zvfar")
        ip("-n", f, "link", "set", "zvfar", "up")
        ip("-n", f, "route", "add", NEAR_NET, "via", MIDDLE_FAR)
        ip("-n", m, "addr", "add", MIDDLE_NEAR + "/24", "dev", "mnear")
        ip("-n", m, "addr", "add", MIDDLE_FAR + "/24", "dev", "mfar")
        ip("-n", m, "tuntap", "add", "dev", "impair", "mode", "tun")
        for dev in ("mnear", "mfar", "impair"):
            ip("-n", m, "link", "set", dev, "up")
        # Packets from either side go into the TUN device; what the
        # emulator writes back comes in from it and takes the main table.
        # The reverse-path filter would drop those, which arrive from the
        # device with the sides' addresses.
        settings = ["ipv4/ip_forward"] + ["ipv4/conf/%s/rp_filter" % dev
                                          for dev in ("all", "default", "impair", "mnear", "mfar")]
        subprocess.run(["ip", "netns", "exec", m, "sh", "-c",
                        "echo 1 > /proc/sys/net/%s && " % settings[0] +
                        " && ".join("echo 0 > /proc/sys/net/%s" % k for k in settings[1:])], check=True)
        for dev in ("mnear", "mfar"):
            ip("-n", m, "rule", "add", "iif", dev, "lookup", "100")
        ip("-n", m, "route", "add", "default", "dev", "impair", "table", "100")

    def _start(self, setup):
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", self.middle, "chrt", "-f", str(PRIORITY), sys.executable,
             os.path.join(HERE, "netem.py"), "impair", NEAR_NET, self.control_path, json.dumps(setup)],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        line = self.proc.stdout.readline()
        if line.strip() != "ready":
            raise RuntimeError("the emulator did not start: %s%s" % (line, self.proc.stdout.read()))
        self.control = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.control.connect(self.control_path)
        self.replies = self.control.makefile("r")

    def _ask(self, request):
        self.control.sendall(json.dumps(request).encode() + b"\n")
        answer = json.loads(self.replies.readline())
        if isinstance(answer, dict) and "error" in answer:
            raise RuntimeError("the emulator: %s" % answer["error"])
        return answer

    def far_command(self, argv):
        """argv run in the far namespace."""
        return ["ip", "netns", "exec", self.far, *argv]

    def set(self, inbound=None, outbound=None):
        """New profiles from now on for the directions given."""
        profiles = {d: as_dict(p) for d, p in zip(DIRECTIONS, (inbound, outbound)) if p is not None}
        self._ask({"profiles": profiles})

    def outage(self, seconds, direction="both", hold=False):
        """From now on for seconds, every media packet of direction is
        dropped, or with hold kept and released together at the end."""
        self._ask({"window": {"direction": direction, "seconds": seconds, "hold": hold}})

    def counts(self):
        """{direction: {"media", "lost", "outage", "held", "reordered",
        "passed"}}: the media packets so far."""
        return self._ask({"counts": None})

    def pauses(self):
        """{direction: [(start, seconds)]}: where the media stopped coming
        in to the link for a while (their sender or this machine stalled),
        start on time.monotonic()'s clock."""
        return {d: [tuple(p) for p in v] for d, v in self._ask({"pauses": None}).items()}

    def close(self):
        if self.control:
            self.control.close()
        if self.proc:
            end_process(self.proc)
        if self.proc:
            self.proc.stdout.close()
        # The near veth goes with its peer in the middle namespace.
        for ns in self.namespaces:
            subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)
        self.namespaces = []
        shutil.rmtree(self.dir, ignore_errors=True)
