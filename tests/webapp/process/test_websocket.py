"""The websocket endpoints: accepts and their pushes, the quit timer, the
refused pages and what a page sends."""

import json
import os
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lib"))
from zvprocess import Program, WebSocket, get  # noqa: E402

ENDPOINTS = ["/ws_baresip", "/ws_calls", "/ws_contacts", "/ws_meter", "/ws_options", "/ws_audio"]


def statistics(payload):
    """The calls endpoint also carries the statistics, every 250 ms."""
    return payload.startswith(b'{"callback":"STATS"')


def calls_page(port):
    return WebSocket(port, "/ws_calls", ignore=statistics)


def alive_after(p, seconds):
    try:
        p.wait(seconds)
        return False
    except subprocess.TimeoutExpired:
        return True


class Endpoints(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.p = Program().start()
        cls.port = cls.p.port()
        # One page stays open for the whole class, so that the closes of
        # the tests' sockets never start the quit timer.
        cls.page = WebSocket(cls.port, "/ws_meter")

    @classmethod
    def tearDownClass(cls):
        cls.page.close()
        cls.p.cleanup()

    def test_every_endpoint_upgrades_upper_case_path_too(self):
        for path in ENDPOINTS + ["/WS_CALLS"]:
            with self.subTest(path=path):
                ws = WebSocket(self.port, path)
                self.assertEqual(ws.status, 101)
                ws.close()

    def test_each_endpoint_pushes_its_state_on_accept(self):
        for path in ["/ws_baresip", "/ws_contacts", "/ws_options", "/ws_calls", "/ws_audio"]:
            with self.subTest(path=path):
                ws = WebSocket(self.port, path, ignore=statistics)
                self.assertIsInstance(json.loads(ws.recv()), dict)
                ws.close()
        m = WebSocket(self.port, "/ws_meter")
        self.assertEqual(len(m.recv().split(b" ")), 66)
        m.close()

    def test_calls_push_reaches_every_page_in_order(self):
        a = calls_page(self.port)
        self.assertEqual(a.recv(), b"{}")
        b = calls_page(self.port)
        self.assertEqual(a.recv(), b"{}")
        self.assertEqual(b.recv(), b"{}")
        self.assertTrue(a.no_message(0.3))
        b.close()
        a.close()

    def test_failed_upgrade_is_answered_with_400_and_closed(self):
        upgrade = ("Upgrade: websocket\r\nConnection: Upgrade\r\n"
                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n")
        table = [
            ("GET", ""),
            ("GET", upgrade.replace("websocket", "h2c")),
            ("POST", upgrade),
            ("PUT", upgrade),
        ]
        a = calls_page(self.port)
        self.assertEqual(a.recv(), b"{}")
        for method, headers in table:
            with self.subTest(method=method, headers=headers):
                req = "%s /ws_calls HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n%s\r\n" % (
                    method, self.port, headers)
                with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
                    s.sendall(req.encode())
                    answer = b""
                    while True:
                        chunk = s.recv(65536)
                        if not chunk:
                            break
                        answer += chunk
                self.assertTrue(answer.startswith(b"HTTP/1.1 400 Bad Request\r\n"), answer)
                self.assertIn(b"<h2>400 Bad Request</h2>", answer)
                # The route's push still reaches the pages already there.
                self.assertEqual(a.recv(), b"{}")
        self.assertTrue(a.no_message(0.3))
        a.close()

    def test_audio_pushes_device_dictionary_and_takes_commands(self):
        a = WebSocket(self.port, "/ws_audio")
        info = json.loads(a.recv())
        self.assertIn("drivers", info)
        # A binary frame is handled like a text frame; garbage is dropped.
        a.send("garbage")
        a.send(b'{"command":"nothing"}')
        self.assertTrue(a.no_message(0.5))
        a.send(b'{"command":"reload"}', opcode=2)
        self.assertIn("drivers", json.loads(a.recv()))
        a.send(b'{"command":"input","id":"3"}')
        self.assertIn("drivers", json.loads(a.recv()))
        a.close()

    def test_meter_lines_keep_coming(self):
        m = WebSocket(self.port, "/ws_meter")
        m.send(b'{"anything":1}')
        lines = [m.recv().decode() for _ in range(4)]
        for line in lines:
            fields = line.split(" ")
            self.assertEqual(len(fields), 66, line)
            self.assertRegex(fields[0], r"^\d+:\d\d:\d\d$")
            self.assertEqual(fields[1], "0")
        m.close()

    def test_foreign_pages_cannot_connect(self):
        table = [
            ({"origin": "http://evil.test"}, 403),
            ({"origin": "null"}, 403),
            ({"origin": "http://127.0.0.1:%d" % (self.port + 1)}, 403),
            ({"host": "evil.test:%d" % self.port}, 403),
            ({"host": "evil.test:%d" % self.port, "origin": "http://evil.test:%d" % self.port}, 403),
            ({"host": "0.0.0.0:%d" % self.port, "origin": "http://0.0.0.0:%d" % self.port}, 403),
            ({"origin": "http://127.0.0.1:%d" % self.port}, 101),
            ({"host": "localhost:%d" % self.port, "origin": "http://localhost:%d" % self.port}, 101),
        ]
        for headers, status in table:
            with self.subTest(**headers):
                ws = WebSocket(self.port, "/ws_baresip", **headers)
                self.assertEqual(ws.status, status)
                ws.close()

    def test_crafted_frame_length_does_not_crash(self):
        ws = WebSocket(self.port, "/ws_options")
        # A masked frame claiming 2^64 - 4 bytes, followed by a few.
        head = bytes([0x81, 0x80 | 127]) + struct.pack("!Q", 2 ** 64 - 4)
        ws.sock.sendall(head + b"\x01\x02\x03\x04" + b"x" * 64)
        time.sleep(0.5)
        self.assertIsNone(self.p.proc.poll())
        self.assertEqual(get(self.port, "/version")[2], b"v26.11.0-stable")
        ws.close()


class Texts(unittest.TestCase):
    def test_invalid_utf8_from_a_file_is_replaced(self):
        with Program() as p:
            p.port()
            p.stop()
            with open(os.path.join(p.dir, "contacts.json"), "wb") as f:
                f.write(b'{"0":{"name":"a\xffb","sip":"sip:x@127.0.0.1"}}')
            again = Program(conf_dir=p.dir).start()
            try:
                ws = WebSocket(again.port(), "/ws_contacts")
                got = ws.recv()
                self.assertEqual(json.loads(got.decode("utf-8"))["0"]["name"], "a\ufffdb")
                ws.close()
            finally:
                again.cleanup()


class QuitTimer(unittest.TestCase):
    def test_last_page_closing_ends_program(self):
        with Program() as p:
            port = p.port()
            socks = [WebSocket(port, path) for path in ENDPOINTS]
            for ws in socks[:-1]:
                ws.close()
            self.assertTrue(alive_after(p, 1.5))
            started = time.monotonic()
            socks[-1].close()
            self.assertEqual(p.wait(15), 0)
            self.assertGreater(time.monotonic() - started, 0.5)
            self.assertIn("ua: stop all", p.output())

    def test_reconnect_in_time_keeps_program(self):
        with Program() as p:
            port = p.port()
            a = WebSocket(port, "/ws_calls")
            a.close()
            time.sleep(0.2)
            b = WebSocket(port, "/ws_calls")
            self.assertTrue(alive_after(p, 2))
            # A refused upgrade counts for nothing: b alone holds the program.
            self.assertEqual(WebSocket(port, "/ws_calls", origin="http://evil.test").status, 403)
            b.close()
            self.assertEqual(p.wait(15), 0)

    def test_quit_with_pages_open_closes_them_and_leaves_nothing(self):
        # Pages that read nothing while the program stops: each still gets
        # its close frame, and the stop (which checks the shutdown report)
        # waits for none of them.
        with Program() as p:
            port = p.port()
            socks = [WebSocket(port, path) for path in ENDPOINTS]
            time.sleep(0.5)
            started = time.monotonic()
            self.assertEqual(p.stop(), 0)
            self.assertLess(time.monotonic() - started, 5)
            for ws in socks:
                while True:
                    op, payload = ws.recv_frame()
                    if op == 8:
                        break
                self.assertEqual(struct.unpack("!H", payload[:2])[0], 1001)
                ws.sock.close()

    def test_no_page_no_timer(self):
        with Program() as p:
            p.port()
            self.assertTrue(alive_after(p, 2))
            self.assertEqual(p.stop(), 0)


if __name__ == "__main__":
    unittest.main()
