"""The HTTP routes: embedded files, generated answers, the logs download
and the requests the server refuses."""

import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
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
    r = subprocess.run(["curl", "-s", "--max-time", "20"] + list(args), capture_output=True)
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
