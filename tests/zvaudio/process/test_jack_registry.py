"""The tests' JACK servers share one registry of eight places with every
server on the machine: a server killed with SIGKILL keeps its place, and the
tests' helper gives it back before a server of theirs starts."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lib"))
from jack_registry import dead_server_names, reclaim_dead_servers  # noqa: E402


class KilledServer(unittest.TestCase):
    def test_a_killed_servers_place_is_given_back(self):
        name = "zvregistry-%d" % os.getpid()
        proc = subprocess.Popen(["jackd", "--no-realtime", "-n", name, "-d", "dummy"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                env=dict(os.environ, JACK_NO_AUDIO_RESERVATION="1"))
        started = subprocess.run(["jack_wait", "-w", "-t", "10", "-s", name],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        proc.kill()
        proc.wait()
        self.assertEqual(started.returncode, 0, "the JACK server did not start")
        self.assertIn(name, dead_server_names())

        self.assertIn(name, reclaim_dead_servers())
        self.assertNotIn(name, dead_server_names())


if __name__ == "__main__":
    unittest.main()
