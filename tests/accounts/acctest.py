"""The accounts tests' harness: the built program in a configuration folder
of its own, a websocket client of the page's endpoints, sipp as a
registrar with digest authentication and an HTTPS provisioning server.
Everything listens on 127.0.0.1: the tests run in a network namespace of
their own (see CMakeLists.txt)."""

import base64
import http.server
import json
import os
import re
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time

PROGRAM = os.environ["ZV_PROGRAM"]
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
import zvtest  # noqa: E402
WEB_PORT = 18080
SIP_PORT = 5060
REGISTRAR_PORT = 5070
SERVICE_DOMAIN = "sip.zorvane.net"
SECOND_DOMAIN = "voip.zorvane.net"
VERSION = "v26.11.0-stable"

_config_text = None


def wait(predicate, timeout=15.0, step=0.05):
    """Calls predicate until it gives a true value; returns that value, or
    None after timeout seconds."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            return None
        time.sleep(step)


def config_text():
    """The program's own configuration file, with SIP on loopback."""
    global _config_text
    if _config_text is None:
        d = tempfile.mkdtemp(prefix="zv-acc-tmpl-")
        try:
            subprocess.run([PROGRAM, "-f", d, "-t", "1"], env=dict(os.environ, ZORVANE_OPENER="/bin/true"),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
            with open(os.path.join(d, "config")) as f:
                text = f.read()
        finally:
            shutil.rmtree(d, ignore_errors=True)
        _config_text = text + "net_interface\t\t127.0.0.1\nsip_listen\t\t127.0.0.1:%d\n" % SIP_PORT
    return _config_text


class Program:
    """The program in a configuration folder; files are set before start."""

    def __init__(self, provisioning_host="127.0.0.1:9", dir=None):
        self.own = dir is None
        self.dir = dir or tempfile.mkdtemp(prefix="zv-acc-")
        with open(self.path("config"), "w") as f:
            f.write(config_text())
        with open(self.path("webapp.conf"), "w") as f:
            f.write("zv_listen\t127.0.0.1\nzv_port\t%d\nzv_auto_answer\t0\n"
                    "zv_provisioning_host\t%s\n" % (WEB_PORT, provisioning_host))
        self.proc = None

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def accounts(self):
        return json.loads(self.read("accounts.json") or b"{}")

    def start(self):
        self.out = open(self.path("program-output"), "w+b")
        self.proc = subprocess.Popen([PROGRAM, "-f", self.dir], stdout=self.out,
                                     stderr=subprocess.STDOUT,
                                     env=dict(os.environ, ZORVANE_OPENER="/bin/true"))
        if not wait(lambda: "http listening" in self.output() or self.proc.poll() is not None):
            raise AssertionError("the program did not start:\n" + self.output())
        return self

    def output(self):
        with open(self.path("program-output"), "rb") as f:
            return f.read().decode("utf-8", "replace")

    def logs(self):
        """Everything the program printed and wrote to its log files."""
        text = self.output()
        logs = self.path("logs")
        if os.path.isdir(logs):
            for name in sorted(os.listdir(logs)):
                with open(os.path.join(logs, name), "rb") as f:
                    text += f.read().decode("utf-8", "replace")
        return text

    def wait_output(self, pattern, timeout=15.0):
        m = wait(lambda: re.search(pattern, self.output()), timeout)
        if not m:
            raise AssertionError("no %r within %ss:\n%s" % (pattern, timeout, self.output()))
        return m

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(40)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc:
            self.out.close()
            zvtest.assert_clean_shutdown_file(self.out.name)
        return self.proc.returncode if self.proc else None

    def cleanup(self):
        self.stop()
        if self.own:
            shutil.rmtree(self.dir, ignore_errors=True)


class WebSocket:
    """A page's connection to one websocket endpoint of the program."""

    def __init__(self, path, port=WEB_PORT, timeout=10):
        self.sock = wait(lambda: self._connect(port), timeout)
        if not self.sock:
            raise AssertionError("no connection to port %d" % port)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n"
                           "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n" % (path, port, key)).encode())
        self.buf = b""
        while b"\r\n\r\n" not in self.buf:
            self.buf += self._recv()
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        assert b" 101 " in head.split(b"\r\n")[0], head

    @staticmethod
    def _connect(port):
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=10)
        except OSError:
            return None

    def _recv(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed")
        return chunk

    def _read(self, n):
        while len(self.buf) < n:
            self.buf += self._recv()
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def send(self, obj):
        payload = (obj if isinstance(obj, str) else json.dumps(obj)).encode()
        mask = os.urandom(4)
        n = len(payload)
        head = bytes([0x81]) + (bytes([0x80 | n]) if n < 126 else
                                bytes([0x80 | 126]) + struct.pack("!H", n))
        self.sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def recv(self, timeout=10):
        """The next text or binary message, as bytes."""
        self.sock.settimeout(timeout)
        while True:
            b0, b1 = self._read(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack("!H", self._read(2))[0]
            elif n == 127:
                n = struct.unpack("!Q", self._read(8))[0]
            payload = self._read(n)
            if b0 & 0x0F in (1, 2):
                return payload

    def recv_until(self, predicate, timeout=15):
        """Reads messages until predicate(message bytes) holds; returns that
        message. Fails after timeout seconds."""
        end = time.monotonic() + timeout
        seen = []
        while time.monotonic() < end:
            try:
                msg = self.recv(max(0.1, end - time.monotonic()))
            except socket.timeout:
                break
            seen.append(msg)
            if predicate(msg):
                return msg
        raise AssertionError("no matching message in %ss; the last ones: %r" % (timeout, seen[-4:]))

    def close(self):
        self.sock.close()


def accounts_of(msg):
    """The accounts object in a message, or None when it is something else."""
    try:
        obj = json.loads(msg)
    except ValueError:
        return None
    return obj if isinstance(obj, dict) and "callback" not in obj else None


class Registrar:
    """sipp as a registrar: every REGISTER is challenged, then answered 200
    when its digest matches the password (any user name), else 403. Every
    message goes to a log that the tests read."""

    def __init__(self, password, port=REGISTRAR_PORT):
        self.dir = tempfile.mkdtemp(prefix="zv-sipp-")
        with open(os.path.join(HERE, "registrar.xml")) as f:
            scenario = f.read().replace("@PASSWORD@", xml_attr(password))
        path = os.path.join(self.dir, "registrar.xml")
        with open(path, "w") as f:
            f.write(scenario)
        self.messages = os.path.join(self.dir, "messages.log")
        self.proc = subprocess.Popen(
            ["sipp", "-sf", path, "-i", "127.0.0.1", "-p", str(port), "-nostdin",
             "-deadcall_wait", "0", "-trace_msg", "-message_file", self.messages],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=self.dir)
        time.sleep(0.3)

    def log(self):
        try:
            with open(self.messages, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def requests(self):
        """Every REGISTER received: (To address, Expires of the contact,
        whether it carried a digest)."""
        out = []
        for block in re.split(r"\n-{10,}[^\n]*\n", self.log()):
            m = re.search(r"^REGISTER .*$", block, re.M)
            if not m or "message received" not in block:
                continue
            to = re.search(r"^To: *<?([^>;\r\n]+)", block[m.start():], re.M | re.I)
            exp = re.search(r"^Contact:.*;expires=(\d+)", block[m.start():], re.M | re.I)
            out.append((to.group(1) if to else None, int(exp.group(1)) if exp else None,
                        "Authorization: Digest" in block))
        return out

    def responses(self):
        """The status codes sipp sent, in order."""
        return [int(c) for c in re.findall(r"message sent.*\n+SIP/2\.0 (\d{3})", self.log())]

    def registered(self, aor):
        """True once a digest REGISTER of aor was answered 200."""
        return any(to == aor and exp and digest for to, exp, digest in self.requests()) and \
            200 in self.responses()

    def unregistered(self, aor):
        return any(to == aor and exp == 0 for to, exp, _ in self.requests())

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def xml_attr(text):
    return (text.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;")
            .replace(">", "&gt;"))


class Provisioning:
    """An HTTPS server for provisioning requests on 127.0.0.1: it records
    each request line and answers with the status and body it was given."""

    def __init__(self, ca_pem, ca_key, trusted=True):
        self.dir = tempfile.mkdtemp(prefix="zv-prov-")
        self.lines = []
        self.status = 200
        self.body = b"{}"
        self.delay = 0
        cert, key = self._certificate(ca_pem, ca_key, trusted)
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                owner.lines.append(self.requestline)
                time.sleep(owner.delay)
                body = owner.body if isinstance(owner.body, bytes) else owner.body.encode()
                self.send_response(owner.status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(cert, key)
        self.server.socket = ctx.wrap_socket(self.server.socket, server_side=True)
        self.host = "127.0.0.1:%d" % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def _certificate(self, ca_pem, ca_key, trusted):
        key, csr, crt = (os.path.join(self.dir, n) for n in ("leaf.key", "leaf.csr", "leaf.pem"))
        ext = os.path.join(self.dir, "ext.cnf")
        with open(ext, "w") as f:
            f.write("subjectAltName=IP:127.0.0.1\n")
        if not trusted:
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                            "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                            "-keyout", key, "-out", crt], check=True, capture_output=True)
            return crt, key
        subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                        "-keyout", key, "-out", csr], check=True, capture_output=True)
        subprocess.run(["openssl", "x509", "-req", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key,
                        "-CAcreateserial", "-CAserial", os.path.join(self.dir, "ca.srl"),
                        "-days", "2", "-extfile", ext, "-out", crt], check=True, capture_output=True)
        return crt, key

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        shutil.rmtree(self.dir, ignore_errors=True)
