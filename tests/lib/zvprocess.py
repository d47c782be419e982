"""Runs the built program in a configuration folder of its own and talks to
its local web server: a recorded browser opener, raw HTTP and a small
websocket client over plain sockets."""

import base64
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

PROGRAM = os.environ.get("ZORVANE_PROGRAM", "zorvane-standalone")
import zvtest  # noqa: E402


class Program:
    """One run of the program. The opener script records every URL the
    program opens in the browser."""

    def __init__(self, conf_dir=None, webapp_conf=None, seconds=None, opener=None,
                 wrapper=(), side_dir=None, env=None):
        """wrapper: the command line's start before the program; side_dir:
        where the opener and the output go, when not in the folder; env:
        variables added to the program's environment."""
        self.own_dir = conf_dir is None
        self.dir = conf_dir or tempfile.mkdtemp(prefix="zv-webapp-")
        self.side = side_dir or self.dir
        self.wrapper = tuple(wrapper)
        self.opened = os.path.join(self.side, "opened-urls")
        if webapp_conf is not None:
            with open(os.path.join(self.dir, "webapp.conf"), "wb") as f:
                f.write(webapp_conf)
        self.seconds = seconds
        self.opener = opener
        self.proc = None
        self.env = env or {}

    def start(self):
        if os.path.exists(self.opened):
            os.unlink(self.opened)
        opener = os.path.join(self.side, "opener.sh")
        with open(opener, "w") as f:
            f.write("#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + self.opened + "'\n")
        os.chmod(opener, 0o755)
        env = dict(os.environ, ZORVANE_OPENER=self.opener or opener, **self.env)
        args = [*self.wrapper, PROGRAM, "-f", self.dir]
        if self.seconds:
            args += ["-t", str(self.seconds)]
        self.out = open(os.path.join(self.side, "program-output"), "w+b")
        self.proc = subprocess.Popen(args, stdout=self.out, stderr=subprocess.STDOUT, env=env)
        return self

    def cpu_seconds(self):
        """The processor time the program has used so far."""
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def output(self):
        if not self.out.closed:
            self.out.flush()
        with open(self.out.name, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_for(self, pattern, timeout=15):
        """Waits until the output matches pattern; returns the match."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            m = re.search(pattern, self.output())
            if m:
                return m
            if self.proc.poll() is not None:
                m = re.search(pattern, self.output())
                if m:
                    return m
                raise AssertionError("program ended (%s) before %r:\n%s"
                                     % (self.proc.returncode, pattern, self.output()))
            time.sleep(0.05)
        raise AssertionError("no %r within %ss:\n%s" % (pattern, timeout, self.output()))

    def urls(self, timeout=10, count=1):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if os.path.exists(self.opened):
                with open(self.opened) as f:
                    lines = f.read().splitlines()
                if len(lines) >= count:
                    return lines
            time.sleep(0.05)
        return []

    def port(self):
        """The port of the page URL that the program opened; a sanitizer's
        build on a busy machine may take many seconds to get there."""
        urls = self.urls(timeout=40)
        assert urls, "no URL opened:\n" + self.output()
        m = re.fullmatch(r"http://127\.0\.0\.1:(\d+)/", urls[0])
        assert m, urls
        return int(m.group(1))

    def stop(self, timeout=20):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc:
            zvtest.assert_clean_shutdown_file(self.out.name)
        return self.proc.returncode

    def wait(self, timeout):
        return self.proc.wait(timeout)

    def cleanup(self):
        try:
            self.stop()
        finally:
            self.out.close()
            if self.own_dir:
                shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.cleanup()


def http(port, request, timeout=10):
    """Sends raw request bytes; returns (status, headers text, body) of the
    answer, or None when the server closed without answering."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = s.recv(65536)
            if not chunk:
                return None
            data += chunk
        head, body = data.split(b"\r\n\r\n", 1)
        m = re.search(rb"\r\nContent-Length: (\d+)", head, re.I)
        length = int(m.group(1)) if m else 0
        while len(body) < length:
            chunk = s.recv(1 << 20)
            if not chunk:
                break
            body += chunk
        lines = head.decode("latin-1").split("\r\n")
        status = int(lines[0].split()[1])
        return status, "\r\n".join(lines[1:]) + "\r\n", body


def get(port, path, method="GET", host=None, extra=""):
    host = host or "127.0.0.1:%d" % port
    req = "%s %s HTTP/1.1\r\nHost: %s\r\n%s" % (method, path, host, extra)
    if method == "POST":
        req += "Content-Length: 0\r\n"
    return http(port, (req + "\r\n").encode())


class WebSocket:
    """A websocket client: text and binary messages, masked as a client
    must send them."""

    def __init__(self, port, path, origin=None, host=None, timeout=10, ignore=None):
        """ignore(payload) true: recv passes over that message."""
        self.ignore = ignore
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        host = host or "127.0.0.1:%d" % port
        req = ("GET %s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\n"
               "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
               "Sec-WebSocket-Version: 13\r\n" % (path, host, key))
        if origin:
            req += "Origin: %s\r\n" % origin
        self.sock.sendall((req + "\r\n").encode())
        self.buf = b""
        while b"\r\n\r\n" not in self.buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("closed during the upgrade")
            self.buf += chunk
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        self.status = int(head.split()[1])
        self.closed = False

    def send(self, payload, opcode=1):
        if isinstance(payload, str):
            payload = payload.encode()
        self.sock.sendall(frame(opcode, payload))

    def _read(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed")
            self.buf += chunk
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def recv_frame(self, timeout=10):
        """(opcode, payload) of the next frame."""
        self.sock.settimeout(timeout)
        b0, b1 = self._read(2)
        n = b1 & 0x7F
        if n == 126:
            n = struct.unpack("!H", self._read(2))[0]
        elif n == 127:
            n = struct.unpack("!Q", self._read(8))[0]
        return b0 & 0x0F, self._read(n)

    def recv(self, timeout=10):
        """The next message as bytes; socket.timeout after timeout seconds."""
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            if left <= 0:
                raise socket.timeout("no message")
            op, payload = self.recv_frame(left)
            if op in (1, 2) and not (self.ignore and self.ignore(payload)):
                return payload
            if op == 8:
                raise ConnectionError("close frame %r" % payload)

    def no_message(self, wait=0.5):
        """True when nothing arrives within wait seconds."""
        try:
            self.recv(wait)
        except socket.timeout:
            return True
        return False

    def close(self):
        """Closes as a browser does: a close frame, then the socket once the
        server's close frame is in (or after 2 s)."""
        if self.closed:
            return
        self.closed = True
        try:
            if self.status == 101:
                self.sock.sendall(frame(8, struct.pack("!H", 1000)))
                end = time.monotonic() + 2
                while time.monotonic() < end:
                    if self.recv_frame(max(0.01, end - time.monotonic()))[0] == 8:
                        break
        except (OSError, ConnectionError):
            pass
        self.sock.close()


def frame(opcode, payload, length=None):
    """One masked, final frame; length overrides the length field."""
    n = len(payload) if length is None else length
    head = bytes([0x80 | opcode])
    if n < 126:
        head += bytes([0x80 | n])
    elif n < 65536:
        head += bytes([0x80 | 126]) + struct.pack("!H", n)
    else:
        head += bytes([0x80 | 127]) + struct.pack("!Q", n)
    mask = os.urandom(4)
    return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
