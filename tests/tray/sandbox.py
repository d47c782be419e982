"""A private home, runtime folder and opener for runs of the program."""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import zvtest  # noqa: E402

PROGRAM = os.environ.get("ZV_PROGRAM", "zorvane-standalone")
# Records which run (its tag, from the environment) opened what.
OPENER = """#!/bin/sh
printf '%s %s\\n' "$ZV_RUN_TAG" "$1" >> "{log}"
"""


def wait_until(condition, timeout=10.0, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()


class Sandbox:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="zv-tray-")
        self.home = os.path.join(self.root, "home")
        self.runtime = os.path.join(self.root, "run")
        os.makedirs(self.home)
        os.makedirs(self.runtime, mode=0o700)
        self.opened_log = os.path.join(self.root, "opened.txt")
        self.opener = os.path.join(self.root, "opener.sh")
        with open(self.opener, "w") as f:
            f.write(OPENER.format(log=self.opened_log))
        os.chmod(self.opener, 0o755)
        self.procs = []

    def close(self):
        """Kills what still runs; a run that ended by itself must have ended
        clean."""
        outputs = []
        for proc, out in self.procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            else:
                outputs.append(self.output(proc))
            out.close()
        shutil.rmtree(self.root, ignore_errors=True)
        for output in outputs:
            zvtest.assert_clean_shutdown(output)

    @property
    def config_dir(self):
        return os.path.join(self.home, ".zorvane")

    @property
    def state_file(self):
        return os.path.join(self.home, ".local", "state", "zorvane", "TrayHintShown")

    @property
    def socket_path(self):
        return os.path.join(self.runtime, "zorvane", "standalone.sock")

    def env(self, bus=True, tag="run"):
        env = dict(os.environ, HOME=self.home, XDG_RUNTIME_DIR=self.runtime, ZORVANE_OPENER=self.opener,
                   ZV_RUN_TAG=tag)
        for name in ("XDG_STATE_HOME", "XDG_CONFIG_HOME"):
            env.pop(name, None)
        if not bus:
            env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        return env

    def write_port(self, port, config_dir=None):
        self.write_webapp_conf("zv_port\t\t%d\n" % port, config_dir)

    def write_no_port(self, config_dir=None):
        """A web server that cannot listen (an address of no interface here),
        so that no port becomes known."""
        self.write_webapp_conf("zv_listen\t\t192.0.2.1\n", config_dir)

    def write_webapp_conf(self, text, config_dir=None):
        folder = config_dir or self.config_dir
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "webapp.conf"), "w") as f:
            f.write(text)

    def start(self, *args, bus=True, name="run"):
        """Starts the program; its output goes to a file of the run's name,
        and what it opens is recorded under that name."""
        path = os.path.join(self.root, "%s.%d.out" % (name, len(self.procs)))
        out = open(path, "w+")
        proc = subprocess.Popen([PROGRAM, *args], env=self.env(bus, name), stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL)
        proc.output_path = path
        self.procs.append((proc, out))
        return proc

    def run(self, *args, bus=True, timeout=30, name="once"):
        proc = self.start(*args, bus=bus, name=name)
        proc.wait(timeout)
        return proc

    @staticmethod
    def output(proc):
        with open(proc.output_path) as f:
            return f.read()

    def wait_ready(self, proc, timeout=20):
        ok = wait_until(lambda: "zorvane is ready." in self.output(proc) or proc.poll() is not None, timeout)
        assert ok and proc.poll() is None, self.output(proc)
        # The line comes just before the main loop, which catches signals.
        time.sleep(0.3)

    def opened(self, name):
        """What the runs of that name opened, in order. The opener runs on
        after the program that started it has ended, so an empty answer is
        given only after a few seconds without a line."""
        def read():
            try:
                with open(self.opened_log) as f:
                    lines = f.read().splitlines()
            except FileNotFoundError:
                return []
            return [line.split(" ", 1)[1] for line in lines if line.split(" ", 1)[0] == name]
        return wait_until(read, timeout=3.0)

    def query_port(self):
        """The running instance's answer, read as a plain client would."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(5)
            s.connect(self.socket_path)
            data = b""
            while True:
                chunk = s.recv(64)
                if not chunk:
                    return data
                data += chunk

    @staticmethod
    def own_page_opened(proc):
        """Whether the web module of this run opens its page itself."""
        return "http listening on" in Sandbox.output(proc)
