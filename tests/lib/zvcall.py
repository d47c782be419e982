"""The program's side of the call tests: the built program in a
configuration folder of its own (SIP on 127.0.0.1, one account, a fixed page
port), a JACK server with the dummy backend for real audio streams, and the
page's websockets. Every test runs in a private network namespace that has
only loopback: the module re-runs the test inside one."""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))

from jack_server import JackServer  # noqa: E402
from zvprocess import WebSocket, zvtest  # noqa: E402

PROGRAM = os.environ.get("ZV_PROGRAM", "")
TEMPLATE = os.path.join(ROOT, "tests", "shell", "config.golden")
SIP_PORT = 5090
PAGE_PORT = 8090


def in_private_network():
    """Re-runs this process inside a new network namespace with loopback up,
    once; returns only inside it."""
    if os.environ.get("ZV_CALLS_NETNS") == "1":
        return
    env = dict(os.environ, ZV_CALLS_NETNS="1")
    args = ["unshare", "-n", "--", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
            sys.executable, *sys.argv]
    sys.stdout.flush()
    os.execvpe("unshare", args, env)


class Jack(JackServer):
    """The calls tests' JACK server."""

    def __init__(self, realtime=False):
        super().__init__("zvcalls-%d" % os.getpid(), realtime=realtime)


class Program:
    """The program with one account "zv" on address:SIP_PORT (SIP and
    media; the page stays on 127.0.0.1)."""

    def __init__(self, root, jack, auto_answer=False, seconds=None, wrapper=(), extra_env=None,
                 account_extra=None, address="127.0.0.1"):
        self.dir = os.path.join(root, "zorvane")
        os.makedirs(self.dir, exist_ok=True)
        with open(TEMPLATE) as f:
            config = f.read()
        config += "sip_listen\t\t%s:%d\nnet_interface\t\t%s\n" % (address, SIP_PORT, address)
        with open(os.path.join(self.dir, "config"), "w") as f:
            f.write(config)
        with open(os.path.join(self.dir, "webapp.conf"), "w") as f:
            f.write("zv_listen\t127.0.0.1\nzv_port\t%d\nzv_auto_answer\t%d\n"
                    "zv_provisioning_host\t127.0.0.1:1\n" % (PAGE_PORT, auto_answer))
        with open(os.path.join(self.dir, "accounts.json"), "w") as f:
            json.dump({"0": {"user": "zv", "domain": "%s:%d" % (address, SIP_PORT),
                             "password": "secret", "regint": "0", **(account_extra or {})}}, f)
        opener = os.path.join(root, "opener.sh")
        with open(opener, "w") as f:
            f.write("#!/bin/sh\nexit 0\n")
        os.chmod(opener, 0o755)
        env = dict(os.environ, HOME=root, ZORVANE_OPENER=opener,
                   JACK_DEFAULT_SERVER=jack.name, JACK_NO_AUDIO_RESERVATION="1")
        env.pop("DISPLAY", None)
        env.update(extra_env or {})
        args = [*wrapper, PROGRAM, "-f", self.dir]
        if seconds:
            args += ["-t", str(seconds)]
        for attempt in range(3):
            self.out = open(os.path.join(root, "program-output"), "w+b")
            self.proc = subprocess.Popen(args, stdout=self.out, stderr=subprocess.STDOUT, env=env)
            try:
                self.wait_port()
                self.wait_for(r"zvaudio ready", timeout=60)
            except BaseException:
                self.stop()
                raise
            if zvtest.JACK_CLIENT_FAILED not in self.output() or attempt == 2:
                break
            print("\nthe program came up without its JACK client; started once more",
                  file=sys.stderr)
            self.probe.close()
            self.stop()
            # The next start's log is the first.
            shutil.rmtree(os.path.join(self.dir, "logs"), ignore_errors=True)

    def wait_port(self, timeout=60):
        """Waits for the page port. The websocket that answered stays open
        (self.probe) until the test's own page is connected: the program
        ends 800 ms after its last page closed, which a slow program (under
        valgrind, on a busy machine) may reach before the test connects."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                self.probe = WebSocket(PAGE_PORT, "/ws_meter", timeout=2)
                return
            except OSError:
                time.sleep(0.1)
        raise AssertionError("page port not up:\n" + self.output())

    def output(self):
        if not self.out.closed:
            self.out.flush()
        with open(self.out.name, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_for(self, pattern, timeout=20):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            m = re.search(pattern, self.output())
            if m:
                return m
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        m = re.search(pattern, self.output())
        if m:
            return m
        raise AssertionError("no %r:\n%s" % (pattern, self.output()))

    def stop(self, timeout=30):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.close()
        zvtest.assert_clean_shutdown_file(self.out.name)
        return self.proc.returncode


class Page:
    """The page's "/ws_calls" and "/ws_baresip" sockets. Every message of
    "/ws_calls" is kept, decoded, in order."""

    def __init__(self):
        self.calls = WebSocket(PAGE_PORT, "/ws_calls")
        self.baresip = WebSocket(PAGE_PORT, "/ws_baresip")
        self.seen = []

    def send_calls(self, **msg):
        self.calls.send(json.dumps(msg))

    def send_baresip(self, **msg):
        self.baresip.send(json.dumps(msg))

    def next(self, timeout=15):
        """The next "/ws_calls" message, decoded; the statistics that the
        endpoint also carries are passed over."""
        end = time.monotonic() + timeout
        while True:
            msg = json.loads(self.calls.recv(max(0.01, end - time.monotonic())))
            if isinstance(msg, dict) and msg.get("callback") == "STATS":
                continue
            self.seen.append(msg)
            return msg

    def until(self, predicate, timeout=15):
        """Reads "/ws_calls" until a message satisfies predicate; returns the
        messages read, that one last."""
        end = time.monotonic() + timeout
        got = []
        while True:
            left = end - time.monotonic()
            if left <= 0:
                raise AssertionError("no such message; got %r" % got)
            msg = self.next(left)
            got.append(msg)
            if predicate(msg):
                return got

    def quiet(self, wait=1.0):
        """The messages that arrive within wait seconds."""
        got = []
        end = time.monotonic() + wait
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return got
            try:
                got.append(self.next(left))
            except Exception:
                return got

    def close(self):
        self.calls.close()
        self.baresip.close()


class Options:
    """The page's "/ws_options": sends a key, reads the pushes."""

    def __init__(self):
        self.ws = WebSocket(PAGE_PORT, "/ws_options")
        self.pushes = [json.loads(self.ws.recv())]

    def set(self, key, value):
        self.ws.send(json.dumps({"key": key, "value": value}))

    def until(self, pred, timeout=15):
        end = time.monotonic() + timeout
        while not pred(self.pushes[-1]):
            left = end - time.monotonic()
            if left <= 0:
                raise AssertionError("no such push; last %r" % self.pushes[-1])
            try:
                self.pushes.append(json.loads(self.ws.recv(left)))
            except socket.timeout:
                pass
        return self.pushes[-1]

    def close(self):
        self.ws.close()


def meter_level(meter, slot, seconds=1.5):
    """The highest left level of a meter slot over the lines of "/ws_meter"
    within seconds; a silent slot reads -inf ("inf")."""
    best = float("-inf")
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        fields = meter.recv(5).decode().split(" ")
        assert len(fields) == 66, fields
        value = fields[2 + 2 * slot]
        best = max(best, float("-inf") if value == "inf" else float(value))
    return best


def state_of(msg, key):
    entry = msg.get(key)
    return entry.get("state") if isinstance(entry, dict) else None


class CallTest(unittest.TestCase):
    """A fresh folder, a JACK server and the program per test; far ends are
    added by the test."""

    auto_answer = False
    wrapper = ()
    account_extra = None
    jack_realtime = False
    sip_address = "127.0.0.1"

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="zvcalls-")
        self.farends = []
        self.jack = Jack(realtime=self.jack_realtime)
        self.addCleanup(self.jack.stop)
        self.program = Program(self.root, self.jack, auto_answer=self.auto_answer,
                               wrapper=self.wrapper, account_extra=self.account_extra,
                               address=self.sip_address)
        self.addCleanup(self._stop_program)
        self.page = Page()
        self.addCleanup(self.page.close)
        self.program.probe.close()
        # A page gets the calls object when it connects; the account's user
        # agent is made 1000 ms after the module started, right before the
        # provisioning request.
        self.assertEqual({}, self.page.next())
        self.program.wait_for(r"webapp/account: start provisioning", timeout=60)

    def _stop_program(self):
        # The far ends stop even when the program's end is unclean, so that
        # the next test finds their ports free.
        try:
            self.program.stop()
        finally:
            for f in self.farends:
                f.stop()
        if self._outcome_ok():
            shutil.rmtree(self.root, ignore_errors=True)
        else:
            print("\nkept", self.root, file=sys.stderr)

    def _outcome_ok(self):
        # How the test went so far: since Python 3.11 unittest reports a
        # failure to the result at once; before, _outcome kept the errors.
        outcome = getattr(self, "_outcome", None)
        if outcome is None:
            return True
        result = getattr(outcome, "result", None)
        if result is not None and hasattr(result, "failures"):
            return not any(test is self for test, _ in result.failures + result.errors)
        errors = getattr(outcome, "errors", None)
        return not errors or all(e[1] is None for e in errors)

    def farend(self, name, port, ctrl, wav, answer="manual"):
        from farend import FarEnd
        f = FarEnd(self.root, name, port, ctrl, wav, answer=answer)
        self.farends.append(f)
        return f.start()
