"""The HTTP routes: embedded files, generated answers, the logs download
and the requests the server refuses."""

import os
import re
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lib"))
from zvprocess import Program, get, http  # noqa: E402

ASSETS = os.environ.get("WEBAPP_ASSETS",
                        os.path.join(os.path.dirname(__file__), "../../../src/modules/webapp/assets"))
NO_CACHE = "Cache-Control: no-cache, no-store, must-revalidate\r\n"
# On every answer: no other site may frame the page or guess content types.
FRAMING = ("X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\n"
           "X-Content-Type-Options: nosniff\r\n")

FILES = [
    ("/", "index.html", "text/html"),
    ("/app.js", "app.js", "application/javascript"),
    ("/app.css", "app.css", "text/css"),
    ("/images/logo.svg", "images/logo.svg", "image/svg+xml"),
    ("/fonts/roboto-mono-400.woff2", "fonts/roboto-mono-400.woff2", "font/woff2"),
    ("/fonts/roboto-mono-500.woff2", "fonts/roboto-mono-500.woff2", "font/woff2"),
    ("/fonts/roboto-mono-700.woff2", "fonts/roboto-mono-700.woff2", "font/woff2"),
]


def curl(*args):
    # Only against a hang: the 9 MB log takes many seconds from a
    # sanitizer's build on a busy machine.
    r = subprocess.run(["curl", "-s", "--max-time", "90"] + list(args), capture_output=True)
    return r.returncode, r.stdout


class Routes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.p = Program().start()
        cls.port = cls.p.port()
        cls.base = "http://127.0.0.1:%d" % cls.port

    @classmethod
    def tearDownClass(cls):
        cls.p.cleanup()

    def test_embedded_files_equal_their_sources_with_exact_headers(self):
        for path, name, ctype in FILES:
            with self.subTest(path=path):
                with open(os.path.join(ASSETS, name), "rb") as f:
                    source = f.read()
                status, headers, body = get(self.port, path)
                self.assertEqual(status, 200)
                self.assertEqual(headers, "Content-Type: %s\r\nContent-Length: %d\r\n%s%s"
                                 % (ctype, len(source), NO_CACHE, FRAMING))
                self.assertEqual(body, source)

    def test_status_line_and_generated_bodies(self):
        rc, raw = curl("-i", self.base + "/version")
        self.assertEqual(raw, b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 15\r\n"
                         + (NO_CACHE + FRAMING).encode() + b"\r\nv26.11.0-stable")
        status, headers, body = get(self.port, "/swvariant")
        self.assertEqual((status, body), (200, b"standalone"))

        status, headers, body = get(self.port, "/status.json")
        self.assertEqual(status, 200)
        self.assertIn("Content-Type: application/json\r\n", headers)
        m = re.fullmatch(rb'\[\{ "name": "IPv4", \t\t\t\t"value": "([0-9.]*)", "label": "default"\}\]',
                         body)
        self.assertIsNotNone(m, body)
        self.assertIn("Content-Length: %d\r\n" % len(body), headers)

    def test_route_table(self):
        # (method, path, status, body or None for any)
        table = [
            ("GET", "/VERSION", 200, b"v26.11.0-stable"),
            ("GET", "/Version", 200, b"v26.11.0-stable"),
            ("GET", "/version?x=1", 200, b"v26.11.0-stable"),
            ("GET", "/version/", 404, None),
            ("GET", "/versions", 404, None),
            ("GET", "/index.html", 404, None),
            ("GET", "/APP.JS", 200, "app.js"),
            ("HEAD", "/app.js", 200, "app.js"),
            ("POST", "/app.js", 200, "app.js"),
            ("GET", "/nothing", 404, None),
        ]
        for method, path, status, body in table:
            with self.subTest(method=method, path=path):
                answer = get(self.port, path, method=method)
                self.assertEqual(answer[0], status)
                if isinstance(body, str):
                    with open(os.path.join(ASSETS, body), "rb") as f:
                        body = f.read()
                if body is not None:
                    self.assertEqual(answer[2], body)
                if status == 404:
                    self.assertIn(b"404 Not found", answer[2])
                    self.assertEqual(answer[1], "Content-Type: text/html\r\nContent-Length: %d\r\n%s"
                                     % (len(answer[2]), FRAMING))
                self.assertTrue(answer[1].endswith(FRAMING), answer[1])

    def test_foreign_host_and_origin_are_refused(self):
        table = [
            ("Host: evil.test:%d" % self.port, "", 403),
            ("Host: evil.test", "", 403),
            ("Host: 127.0.0.1:1", "", 403),
            ("Host: 0.0.0.0:%d" % self.port, "", 403),
            ("Host: 0.0.0.0", "", 403),
            ("Host: [::]:%d" % self.port, "", 403),
            ("Host: localhost:%d" % self.port, "", 200),
            ("Host: 127.0.0.1:%d" % self.port, "Origin: http://evil.test\r\n", 403),
            ("Host: 127.0.0.1:%d" % self.port, "Origin: http://127.0.0.1:%d\r\n" % self.port, 200),
        ]
        for host, extra, status in table:
            with self.subTest(host=host, extra=extra):
                req = "GET /logs.txt HTTP/1.1\r\n%s\r\n%s\r\n" % (host, extra)
                answer = http(self.port, req.encode())
                self.assertEqual(answer[0], status)
                if status == 403:
                    self.assertIn(b"403 Forbidden", answer[2])
                self.assertTrue(answer[1].endswith(FRAMING), answer[1])
        rc, _ = curl("-o", "/dev/null", "-w", "%{http_code}", "-H", "Host: evil.test", self.base + "/")
        self.assertEqual(rc, 0)


def exchange(port, pieces, timeout=10):
    """Sends each piece of bytes in turn, then reads until the server
    closes; everything read, or None when it did not close in time."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        for piece in pieces:
            s.sendall(piece)
        got = b""
        end = time.monotonic() + timeout
        try:
            while time.monotonic() < end:
                chunk = s.recv(65536)
                if not chunk:
                    return got
                got += chunk
        except socket.timeout:
            pass
        return None


def error_page(status, reason):
    """The HTTP library's small error page, whole."""
    body = ("<!DOCTYPE html>\n<html>\n<head><title>%d %s</title></head>\n"
            "<body><h2>%d %s</h2></body>\n</html>\n" % (status, reason, status, reason))
    return ("HTTP/1.1 %d %s\r\nContent-Type: text/html\r\nContent-Length: %d\r\n\r\n%s"
            % (status, reason, len(body), body)).encode()


class Heads(unittest.TestCase):
    """A start line up to 8 KB and a header block up to 16 KB are taken,
    however they come in; a longer one is answered with the library's error
    page and the connection closed."""

    @classmethod
    def setUpClass(cls):
        cls.p = Program().start()
        cls.port = cls.p.port()
        cls.host = b"Host: 127.0.0.1:%d\r\n" % cls.port

    @classmethod
    def tearDownClass(cls):
        cls.p.cleanup()

    def line(self, size):
        """A request line of size bytes with its CRLF, for a path no route
        names."""
        return b"GET /" + b"a" * (size - 16) + b" HTTP/1.1\r\n"

    def headers(self, size):
        """A header block of size bytes with its empty line: the Host and
        one long header."""
        return self.host + b"X-Long: " + b"b" * (size - len(self.host) - 12) + b"\r\n\r\n"

    def test_heads_at_their_limits_are_answered(self):
        table = [
            ("line of 8 KB", self.line(8192) + self.host + b"\r\n", 404),
            ("header block of 16 KB", b"GET /version HTTP/1.1\r\n" + self.headers(16384), 200),
            ("blank lines before the request", b"\r\n\r\nGET /version HTTP/1.1\r\n" + self.host + b"\r\n",
             200),
        ]
        for name, request, status in table:
            with self.subTest(name):
                self.assertEqual(status, http(self.port, request)[0])

    def test_a_request_in_single_bytes_gets_the_same_answer(self):
        request = b"GET /version HTTP/1.1\r\n" + self.host + b"Origin: http://127.0.0.1:%d\r\n\r\n" % self.port
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
            for i in range(len(request)):
                s.sendall(request[i:i + 1])
                time.sleep(0.002)
            answer = b""
            while not answer.endswith(b"v26.11.0-stable"):
                chunk = s.recv(65536)
                self.assertTrue(chunk, answer)
                answer += chunk
        self.assertEqual(answer, b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 15\r\n"
                         + (NO_CACHE + FRAMING).encode() + b"\r\nv26.11.0-stable")

    def test_over_long_heads_are_refused_and_closed(self):
        normal = b"GET /version HTTP/1.1\r\n" + self.host + b"\r\n"
        table = [
            ("line over 8 KB", [self.line(8193) + self.host + b"\r\n"], 414, "URI Too Long"),
            ("line of 40 KB without its end", [self.line(40000)[:-2]], 414, "URI Too Long"),
            ("line over 8 KB in pieces", [self.line(8193)[i:i + 1000] for i in range(0, 8193, 1000)],
             414, "URI Too Long"),
            ("header block over 16 KB", [b"GET /version HTTP/1.1\r\n" + self.headers(16385)], 431,
             "Request Header Fields Too Large"),
            ("10000 empty headers", [b"GET /version HTTP/1.1\r\n" + self.host + b"a:\r\n" * 10000 + b"\r\n"],
             431, "Request Header Fields Too Large"),
        ]
        for name, pieces, status, reason in table:
            with self.subTest(name):
                self.assertEqual(error_page(status, reason), exchange(self.port, pieces))
        # After an answered request on the same connection.
        answer = exchange(self.port, [normal + self.line(9000)])
        self.assertIsNotNone(answer)
        self.assertTrue(answer.endswith(b"\r\nv26.11.0-stable" + error_page(414, "URI Too Long")), answer)
        self.assertEqual(200, get(self.port, "/version")[0])


class Logs(unittest.TestCase):
    def test_sections_oldest_first_and_big_log_whole(self):
        with Program() as p:
            port = p.port()
            logs = os.path.join(p.dir, "logs")
            # The current run writes log 0; 1 and 3 stand for older runs.
            with open(os.path.join(logs, "zorvane.1.log"), "wb") as f:
                f.write(b"one\n")
            big = b"".join(b"line %07d of the third log\n" % i for i in range(300000))
            self.assertGreater(len(big), 8 * 1000 * 1000)
            with open(os.path.join(logs, "zorvane.3.log"), "wb") as f:
                f.write(big)
            rc, raw = curl("-sD-", "http://127.0.0.1:%d/logs.txt" % port)
            self.assertEqual(rc, 0)
            head, body = raw.split(b"\r\n\r\n", 1)
            self.assertEqual(head.decode(), "HTTP/1.1 200 OK\r\n"
                             "Content-Type: text/plain; charset=utf-8\r\n"
                             "Content-Disposition: attachment; filename=\"zorvane-logs.txt\"\r\n"
                             "Content-Length: %d\r\n"
                             "Cache-Control: no-cache, no-store, must-revalidate\r\n%s"
                             % (len(body), FRAMING[:-2]))
            three = b"===== zorvane.3.log =====\n" + big + b"\n"
            self.assertTrue(body.startswith(three + b"===== zorvane.1.log =====\none\n\n"
                                            b"===== zorvane.0.log =====\n"))
            self.assertTrue(body.endswith(b"\n"))
            self.assertNotIn(b"zorvane.2.log", body)
            self.assertIn(b"http listening on ip", body[len(three):])

    def test_no_log_files(self):
        with Program() as p:
            port = p.port()
            # Leave the log folder empty: the current log goes away too.
            for name in os.listdir(os.path.join(p.dir, "logs")):
                os.unlink(os.path.join(p.dir, "logs", name))
            status, headers, body = get(port, "/logs.txt")
            self.assertEqual((status, body), (200, b"No log files found.\n"))
            self.assertTrue(headers.endswith(FRAMING), headers)
            self.assertIn('filename="zorvane-logs.txt"', headers)


if __name__ == "__main__":
    unittest.main()
