"""A JACK server of a test's own with the dummy backend (48 kHz, 480-frame
periods, two channels each way) under a private name. JACK's registry holds
eight servers for the whole machine: a start that fails is tried again while
others' servers go away, each try after giving back the places that killed
servers hold (jack_registry)."""

import os
import signal
import subprocess
import tempfile
import time

from jack_registry import reclaim_dead_servers
from zvtest import end_process


class JackServer:
    def __init__(self, name, realtime=False, tries=8, patience=None):
        """realtime: a real-time server, which keeps its clock under load
        where one that is not falls behind the wall clock on a busy machine.
        The start gives up after tries failed tries, or once patience
        seconds have passed when that is given."""
        self.name = name
        self.proc = None
        self.stderr = b""
        timing = ["-R", "-P", "70"] if realtime else ["--no-realtime"]
        self.args = ["jackd", *timing, "-n", name, "-d", "dummy", "-r", "48000", "-p", "480",
                     "-C", "2", "-P", "2"]
        end = time.monotonic() + patience if patience else None
        attempt = 0
        while True:
            reclaim_dead_servers()
            if self._start():
                return
            self.stop()
            attempt += 1
            if (time.monotonic() > end) if end else attempt >= tries:
                break
            time.sleep(min(0.5 + 2 * attempt, 10))
        raise AssertionError("the JACK server %s did not start:\n%s"
                             % (name, self.stderr.decode(errors="replace")))

    def _start(self):
        with tempfile.TemporaryFile() as err:
            self.proc = subprocess.Popen(self.args, stdout=subprocess.DEVNULL, stderr=err,
                                         env=dict(os.environ, JACK_NO_AUDIO_RESERVATION="1"))
            up = subprocess.run(["jack_wait", "-w", "-t", "10", "-s", self.name],
                                stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL).returncode == 0
            if not up:
                err.seek(0)
                self.stderr = err.read()
        return up

    def ports(self):
        r = subprocess.run(["jack_lsp", "-s", self.name], capture_output=True, text=True)
        return r.stdout.split("\n")

    def stop(self):
        """Ends the server as a crash would for its clients: they are told it
        is gone and it never runs another cycle for them."""
        if not self.proc:
            return
        end_process(self.proc)
        if self.proc.returncode == -signal.SIGKILL:
            # a killed server keeps its place in the registry
            reclaim_dead_servers()
