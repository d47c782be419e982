"""webapp.conf, the listener and the page opened in the browser."""

import os
import signal
import socket
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lib"))
from zvprocess import Program, get  # noqa: E402


def conf_text(port, auto=0, listen="127.0.0.1", host="provisioning.zorvane.net"):
    return ("zv_listen\t%s\nzv_port\t%d\nzv_auto_answer\t%d\nzv_provisioning_host\t%s\n"
            % (listen, port, auto, host)).encode()


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Listener(unittest.TestCase):
    def test_first_start_writes_file_and_next_start_keeps_port(self):
        with Program() as p:
            port = p.port()
            self.assertEqual(p.urls(), ["http://127.0.0.1:%d/" % port])
            status, _, body = get(port, "/version")
            self.assertEqual((status, body), (200, b"v26.11.0-stable"))
            self.assertEqual(read(os.path.join(p.dir, "webapp.conf")), conf_text(port))
            self.assertIn("webapp.conf/provisioning_host: provisioning.zorvane.net", p.output())
            self.assertIn("http listening on ip: 127.0.0.1 port: %d" % port, p.output())
            self.assertEqual(p.stop(), 0)

            again = Program(conf_dir=p.dir).start()
            try:
                self.assertEqual(again.port(), port)
            finally:
                again.cleanup()
            self.assertEqual(read(os.path.join(p.dir, "webapp.conf")), conf_text(port))

    def test_connections_queue_while_the_program_is_busy(self):
        with Program() as p:
            port = p.port()
            os.kill(p.proc.pid, signal.SIGSTOP)
            socks = []
            try:
                for _ in range(32):
                    socks.append(socket.create_connection(("127.0.0.1", port), timeout=0.5))
            finally:
                os.kill(p.proc.pid, signal.SIGCONT)
                for s in socks:
                    s.close()
            self.assertEqual(len(socks), 32)
            self.assertEqual(get(port, "/version")[0], 200)

    def test_busy_port_falls_back_and_keeps_file(self):
        holder = socket.socket()
        holder.bind(("127.0.0.1", 0))
        holder.listen(1)
        busy = holder.getsockname()[1]
        original = b"# mine\nzv_port %d\nzv_auto_answer yes\n" % busy
        try:
            with Program(webapp_conf=original) as p:
                port = p.port()
                self.assertNotEqual(port, busy)
                out = p.output()
                warning = ("webapp: port %d is in use (Address already in use [98]), maybe another "
                           "Zorvane process (DAW plugin sandbox?) -- using a new port" % busy)
                self.assertEqual(out.count(warning), 1, out)
                self.assertEqual(get(port, "/swvariant")[2], b"standalone")
                self.assertEqual(read(os.path.join(p.dir, "webapp.conf")), original)
        finally:
            holder.close()

    def test_rewrite_drops_other_lines_and_normalises_values(self):
        cases = [
            (b"# comment\n  zv_auto_answer\tYES\nother 5\n", 1),
            (b"zv_auto_answer 1\nzv_provisioning_host 127.0.0.1:8443\n", 1),
            (b"zv_auto_answer on\n", 0),
        ]
        for conf, auto in cases:
            with self.subTest(conf=conf), Program(webapp_conf=conf) as p:
                port = p.port()
                host = b"127.0.0.1:8443" if b"8443" in conf else b"provisioning.zorvane.net"
                self.assertEqual(read(os.path.join(p.dir, "webapp.conf")),
                                 conf_text(port, auto, host=host.decode()))

    def test_port_above_16_bits_is_no_port(self):
        # The library's reader would wrap the larger ones: 4294967297 to 1.
        for text in ("70000", "4294967296", "4294967297", "4294967296000", "9" * 30):
            with self.subTest(port=text):
                with Program(webapp_conf=b"zv_port %s\n" % text.encode()) as p:
                    port = p.port()
                    self.assertNotIn(port, (0, 1, 70000 & 0xFFFF))
                    out = p.output()
                    self.assertTrue("webapp: zv_port %s is no port number -- using a new port"
                                    % text in out, out[-1500:])
                    self.assertEqual(read(os.path.join(p.dir, "webapp.conf")), conf_text(port))

    def test_host_name_as_listen_address_fails_init_and_program_runs(self):
        with Program(webapp_conf=b"zv_listen localhost\nzv_port 0\n", seconds=3) as p:
            p.wait_for(r"module webapp\S*: Invalid argument \[22\]")
            self.assertEqual(p.wait(30), 0)
            out = p.output()
            self.assertNotIn("http listening", out)
            self.assertEqual(p.urls(timeout=0.1), [])
            self.assertEqual(read(os.path.join(p.dir, "webapp.conf")),
                             b"zv_listen localhost\nzv_port 0\n")

    def test_failed_listen_without_configured_port_is_not_retried(self):
        conf = b"zv_listen 192.0.2.1\n"
        with Program(webapp_conf=conf, seconds=3) as p:
            p.wait_for(r"module webapp\S*: Cannot assign requested address \[99\]")
            self.assertEqual(p.wait(30), 0)
            self.assertNotIn("is in use", p.output())
            self.assertEqual(p.urls(timeout=0.1), [])
            self.assertEqual(read(os.path.join(p.dir, "webapp.conf")), conf)

    def test_any_address_still_opens_loopback_url(self):
        with Program(webapp_conf=b"zv_listen 0.0.0.0\n") as p:
            port = p.port()
            self.assertEqual(get(port, "/version")[0], 200)
            self.assertEqual(read(os.path.join(p.dir, "webapp.conf")),
                             conf_text(port, listen="0.0.0.0"))

    def test_opener_that_cannot_start_warns_once(self):
        with Program(opener="/nonexistent/opener") as p:
            m = p.wait_for(r"http listening on ip: 127.0.0.1 port: (\d+)")
            port = int(m.group(1))
            warning = "webapp: could not open http://127.0.0.1:%d/" % port
            p.wait_for(warning)
            self.assertEqual(p.output().count(warning), 1)
            self.assertEqual(get(port, "/version")[0], 200)


if __name__ == "__main__":
    unittest.main()
