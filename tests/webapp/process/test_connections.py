"""Many connections at a low descriptor limit: plain requests for a
websocket path are answered and closed, idle connections are closed after a
while, and running out of descriptors makes the program wait rather than
spin, so that the page answers again."""

import os
import select
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lib"))
from zvprocess import Program, get  # noqa: E402

LIMIT = 64


def answers(socks, timeout):
    """Everything each socket received until the server closed it; None for
    a socket still open after timeout seconds."""
    got = {s: b"" for s in socks}
    open_ = set(socks)
    end = time.monotonic() + timeout
    while open_ and time.monotonic() < end:
        ready, _, _ = select.select(list(open_), [], [], max(0.01, end - time.monotonic()))
        for s in ready:
            try:
                chunk = s.recv(65536)
            except ConnectionError:
                chunk = b""
            if chunk:
                got[s] += chunk
            else:
                open_.discard(s)
    return [None if s in open_ else got[s] for s in socks]


class LowDescriptorLimit(unittest.TestCase):
    def setUp(self):
        self.p = Program(wrapper=("prlimit", "--nofile=%d" % LIMIT)).start()
        self.addCleanup(self.p.cleanup)
        self.port = self.p.port()
        self.socks = []
        self.addCleanup(lambda: [s.close() for s in self.socks])

    def hold(self, request, count):
        """count connections that each send request and stay open."""
        for _ in range(count):
            s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
            s.sendall(request % self.port)
            self.socks.append(s)
        return self.socks[-count:]

    def spin_free(self, seconds=3.0):
        before = self.p.cpu_seconds()
        time.sleep(seconds)
        return self.p.cpu_seconds() - before < seconds / 4

    def test_held_plain_gets_of_websocket_paths_are_answered_and_closed(self):
        socks = self.hold(b"GET /ws_calls HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n", 3 * LIMIT)
        got = answers(socks, 30)
        self.assertEqual([], [a for a in got if not (a or b"").startswith(b"HTTP/1.1 400 ")])
        self.assertTrue(self.spin_free())
        self.assertEqual(get(self.port, "/version")[2], b"v26.11.0-stable")

    def test_idle_connections_are_closed_and_running_out_does_not_spin(self):
        # More kept-alive connections than descriptors: the last ones wait
        # until the first have been idle long enough to be closed.
        socks = self.hold(b"GET /version HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n", LIMIT + 16)
        self.assertTrue(self.spin_free())
        got = answers(socks, 40)
        self.assertEqual([], [a for a in got if a is None or not a.endswith(b"v26.11.0-stable")])
        self.assertEqual(get(self.port, "/version")[2], b"v26.11.0-stable")
        self.assertIsNone(self.p.proc.poll())


if __name__ == "__main__":
    unittest.main()
