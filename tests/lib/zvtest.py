"""Helpers for the process-level tests: run the built program in a private
home and, where it opens sockets, in a network namespace with only loopback."""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

PROGRAM = os.environ.get("ZV_PROGRAM", "")

# What the program prints when its shutdown chain finds something left over
# (the SIP stack's pending timers, descriptors still watched, memory still
# allocated: the tests run a variant built with that report), and what the
# address, undefined-behaviour and thread sanitizers print.
SHUTDOWN_REPORT = re.compile(r"Timers \(\d+\):|\bfd \d+ in use: |Memory leaks \(\d+\):|"
                             r"==\d+==ERROR: |: runtime error: |\bThreadSanitizer\b")

# What libjack prints when PortAudio's client cannot open. JACK fails now
# and then to open a client of one server while a client of another server
# on the machine opens (the servers share one registry); the program then
# runs without JACK, and the tests start it once more.
JACK_CLIENT_FAILED = "Cannot open PortAudio client"


def end_process(proc, patience=10):
    """Asks the process to end, and kills it if it has not after patience
    seconds; returns once it has ended."""
    if proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(patience)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def shutdown_report(output):
    """The output from its first report line on; empty after a clean end."""
    m = SHUTDOWN_REPORT.search(output)
    if not m:
        return ""
    return output[output.rfind("\n", 0, m.start()) + 1:]


def assert_clean_shutdown(output):
    """Every process test's end: the program left nothing behind."""
    report = shutdown_report(output)
    if report:
        raise AssertionError("the program's shutdown report is not empty:\n" + report[:8000])


def assert_clean_shutdown_file(path):
    """The same for the output kept in a file; a file the test has already
    removed is passed over."""
    try:
        with open(path, "rb") as f:
            output = f.read().decode("utf-8", "replace")
    except FileNotFoundError:
        return
    assert_clean_shutdown(output)


class Sandbox:
    """A private home folder with an opener that records what it was asked
    to open."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="zvtest-")
        self.home = os.path.join(self.root, "home")
        os.makedirs(self.home)
        self.opened_log = os.path.join(self.root, "opened.txt")
        self.opener = os.path.join(self.root, "opener.sh")
        with open(self.opener, "w") as f:
            f.write('#!/bin/sh\nprintf "%%s\\n" "$1" >> "%s"\n' % self.opened_log)
        os.chmod(self.opener, 0o755)
        self.runtime = os.path.join(self.root, "run")
        os.makedirs(self.runtime, mode=0o700)

    def env(self, **extra):
        env = {k: v for k, v in os.environ.items() if not k.startswith("XDG_")}
        env.update(HOME=self.home, ZORVANE_OPENER=self.opener,
                   XDG_RUNTIME_DIR=self.runtime)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        env.update(extra)
        return env

    def opened(self):
        try:
            with open(self.opened_log) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


def command(args, netns=True, wrapper=()):
    """The command line that runs the program with args; with netns, inside a
    new network namespace whose loopback is up."""
    prog = [*wrapper, PROGRAM, *args]
    if not netns:
        return prog
    return ["unshare", "-n", "--", "sh", "-c",
            'ip link set lo up && exec "$@"', "sh", *prog]


def start(sandbox, args, netns=True, wrapper=(), env=None, **popen):
    return subprocess.Popen(command(args, netns, wrapper),
                            env=env or sandbox.env(), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, **popen)


def run(sandbox, args, timeout=60, **kw):
    p = start(sandbox, args, **kw)
    out, err = p.communicate(timeout=timeout)
    assert_clean_shutdown(out + err)
    return p.returncode, out, err


def wait_until_running(path, timeout=20.0):
    """Waits until the log file says the program is ready, and a moment
    more: the main loop catches signals only once it runs."""
    ok = wait_for_file_text(path, "zorvane is ready.", timeout)
    time.sleep(0.3)
    return ok


def wait_for_file_text(path, text, timeout=20.0):
    """Waits until the file contains text; True when it did in time."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            with open(path, errors="replace") as f:
                if text in f.read():
                    return True
        except FileNotFoundError:
            pass
        time.sleep(0.05)
    return False


def send_signal(proc, sig=signal.SIGTERM):
    """unshare and sh exec the program, so it keeps the pid we started."""
    os.kill(proc.pid, sig)
