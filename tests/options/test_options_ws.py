"""The options over the program's "/ws_options" websocket: pushes, the
stored file, the log lines and the SIP trace of real SIP messages."""

import json
import os
import re
import shutil
import socket
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
import zvprocess  # noqa: E402
from jack_server import JackServer  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
TEMPLATE = os.path.join(HERE, "..", "shell", "config.golden")
SIP_PORT = 5060
DEFAULTS = b'{"monitoring":"","monorecord":"true","monostream":"true","verbose":""}'
START_PUSH = b'{"verbose":"","monorecord":"true","monostream":"true","monitoring":""}'


def log_text(program):
    path = os.path.join(program.dir, "logs", "zorvane.0.log")
    with open(path, "rb") as f:
        return f.read().decode("utf-8", "replace")


def wait_log(program, pattern, timeout=10):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        m = re.search(pattern, log_text(program))
        if m:
            return m
        time.sleep(0.05)
    raise AssertionError("no %r in the log:\n%s" % (pattern, log_text(program)))


def option_lines(program):
    return re.findall(r"(?m)^\S+ \S+ (INFO|WARN)\s+(webapp/option: .*)$", log_text(program))


def sip_request(size, port):
    """An OPTIONS request to the program of exactly size bytes."""
    head = ("OPTIONS sip:zv@127.0.0.1:5060 SIP/2.0\r\n"
            "Via: SIP/2.0/UDP 127.0.0.1:%d;branch=z9hG4bK-%d\r\n"
            "From: <sip:trace@127.0.0.1:%d>;tag=t%d\r\n"
            "To: <sip:zv@127.0.0.1:5060>\r\n"
            "Call-ID: trace-%d\r\nCSeq: 1 OPTIONS\r\nMax-Forwards: 70\r\n"
            % (port, size, port, size, size))
    end = "Content-Length: 0\r\n\r\n"
    lines = []
    room = size - len(head) - len(end)
    i = 0
    while room > 80:
        lines.append("X-Pad-%d: %s\r\n" % (i % 10, chr(97 + i % 26) * 60))
        room -= len(lines[-1])
        i += 1
    lines.append("X: " + "z" * (room - 5) + "\r\n")
    msg = (head + "".join(lines) + end).encode()
    assert len(msg) == size, len(msg)
    return msg


def sound_card(test):
    """A JACK server with the dummy backend, for the program that the test
    starts next: a recording needs a sound device that works. Retried while
    other servers on the machine fill JACK's registry."""
    name = "zvoptions-%d" % os.getpid()
    server = JackServer(name, tries=30)
    test.addCleanup(server.stop)
    test.addCleanup(os.environ.pop, "JACK_DEFAULT_SERVER", None)
    os.environ["JACK_DEFAULT_SERVER"] = name


class Options(unittest.TestCase):
    def setUp(self):
        # Recordings go below the home folder.
        self.home = tempfile.mkdtemp(prefix="zv-options-home-")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.old_home = os.environ.get("HOME")
        os.environ["HOME"] = self.home
        self.addCleanup(os.environ.__setitem__, "HOME", self.old_home or "/")
        self.program = zvprocess.Program()
        self.addCleanup(self.end_program)

    def end_program(self):
        if self.program.proc:
            self.program.cleanup()
        else:
            shutil.rmtree(self.program.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.program.dir, name)

    def stored(self):
        with open(self.path("options.json"), "rb") as f:
            return f.read()

    def store(self, data):
        with open(self.path("options.json"), "wb") as f:
            f.write(data)

    def wait_stored(self, data, timeout=5):
        """The file is saved after the push."""
        end = time.monotonic() + timeout
        while self.stored() != data and time.monotonic() < end:
            time.sleep(0.05)
        self.assertEqual(self.stored(), data)

    def connect(self):
        self.program.start()
        ws = zvprocess.WebSocket(self.program.port(), "/ws_options")
        self.addCleanup(ws.close)
        self.assertEqual(ws.status, 101)
        return ws

    def send(self, ws, key, value):
        ws.send(json.dumps({"key": key, "value": value}))

    def test_first_start_changes_and_two_pushes_of_the_follow_ups(self):
        ws = self.connect()
        self.assertEqual(ws.recv(), START_PUSH)
        self.assertEqual(self.stored(), DEFAULTS)
        self.assertEqual(option_lines(self.program), [
            ("INFO", "webapp/option: verbose: "),
            ("INFO", "webapp/option: monorecord: true"),
            ("INFO", "webapp/option: monostream: true"),
            ("INFO", "webapp/option: monostream: true"),
            ("INFO", "webapp/option: monitoring: "),
        ])

        # Mono streaming off takes mono recording with it.
        self.send(ws, "monostream", "")
        self.assertEqual(json.loads(ws.recv()), {
            "verbose": "", "monostream": "true", "monitoring": "", "monorecord": ""})
        self.assertEqual(ws.recv(),
                         b'{"verbose":"","monitoring":"","monorecord":"","monostream":""}')
        # Mono recording on brings mono streaming back, pushed first.
        self.send(ws, "monorecord", "true")
        self.assertEqual(ws.recv(),
                         b'{"verbose":"","monitoring":"","monorecord":"","monostream":"true"}')
        self.assertEqual(ws.recv(),
                         b'{"verbose":"","monitoring":"","monostream":"true","monorecord":"true"}')
        self.assertTrue(ws.no_message())
        self.assertEqual(self.stored(), DEFAULTS)

        # A volatile key is pushed, never stored.
        self.send(ws, "samplerate", "44100")
        self.assertEqual(json.loads(ws.recv())["samplerate"], "44100")
        self.send(ws, "monitoring", "true")
        self.assertEqual(json.loads(ws.recv())["monitoring"], "true")
        self.wait_stored(
            b'{"monitoring":"true","monorecord":"true","monostream":"true","verbose":""}')

        # Refused: an unknown key (warned), values that are no strings, a
        # message without a value.
        self.send(ws, "mutee", "true")
        ws.send('{"key":"mute","value":true}')
        ws.send('{"key":"mute"}')
        ws.send('{"key":"mute","value":"1"} x')
        self.assertTrue(ws.no_message())
        wait_log(self.program, r"WARN  webapp/option: ignoring unknown key mutee\n")

        # Every page gets the pushes.
        other = zvprocess.WebSocket(self.program.port(), "/ws_options")
        self.addCleanup(other.close)
        state = other.recv()
        self.assertIn(b'"samplerate":"44100"', state)
        self.assertEqual(ws.recv(), state)
        self.send(other, "afk", "true")
        self.assertEqual(ws.recv(), other.recv())

        self.program.stop()
        self.assertEqual(
            self.stored(),
            b'{"monitoring":"true","monorecord":"true","monostream":"true","verbose":""}')

    def test_record_folder_opens_the_recordings_folder_without_a_push(self):
        ws = self.connect()
        ws.recv()
        before = len(self.program.urls())
        self.send(ws, "record-folder", "1")
        urls = self.program.urls(count=before + 1)
        self.assertEqual(len(urls), before + 1, urls)
        self.assertTrue(os.path.isabs(urls[-1]), urls)
        self.assertTrue(ws.no_message())
        wait_log(self.program, r"INFO  webapp/option: record-folder: 1\n")

    def test_record_drives_the_real_recorder(self):
        sound_card(self)
        ws = self.connect()
        ws.recv()
        wait_log(self.program, r"zvaudio/start: success")
        recordings = os.path.join(self.home, "Desktop", "zorvane")
        # Only "false" stops: the empty text starts a recording.
        self.send(ws, "record", "")
        self.assertEqual(json.loads(ws.recv())["record"], "")
        m = wait_log(self.program, r"INFO  zvaudio/record: start (\S+)\n")
        folder = m.group(1)
        self.assertEqual(os.path.dirname(folder), recordings)
        self.assertTrue(os.path.exists(os.path.join(folder, "local.flac")))

        # The folder request opens the running recording's folder.
        self.send(ws, "record-folder", "1")
        self.assertEqual(self.program.urls(count=2)[1:], [folder])

        self.send(ws, "record", "false")
        self.assertEqual(json.loads(ws.recv())["record"], "false")
        wait_log(self.program, r"INFO  zvaudio/record: track 0 closed")
        self.program.stop()
        self.assertNotIn("record", json.loads(self.stored()))

    def test_onair_without_a_main_account(self):
        ws = self.connect()
        ws.recv()
        calls = zvprocess.WebSocket(self.program.port(), "/ws_calls")
        self.addCleanup(calls.close)
        calls.recv()
        before = len(self.program.urls())
        self.send(ws, "onair", "true")
        self.assertEqual(json.loads(ws.recv())["onair"], "true")
        # The login page opens, then the stream call fails for want of an
        # account.
        closed = json.loads(calls.recv())
        self.assertEqual(closed["callback"], "CLOSED")
        self.assertRegex(closed["message"], r"^stream@\S+: Invalid argument \[22\]$")
        urls = self.program.urls(count=before + 1)
        with open(self.path("uuid")) as f:
            uuid = f.read().strip()
        self.assertIn("/stream/login/%s?version=2" % uuid, urls[-1])

        self.send(ws, "onair", "false")
        self.assertEqual(json.loads(ws.recv())["onair"], "false")
        self.assertTrue(calls.no_message())
        self.program.stop()
        self.assertNotIn("onair", json.loads(self.stored()))

    def test_page_texts_are_escaped_in_the_log(self):
        ws = self.connect()
        ws.recv()
        self.send(ws, "x\r\n2026-01-01 00:00:00 ERROR forged", "v\x1b")
        wait_log(self.program, re.escape(
            "WARN  webapp/option: ignoring unknown key "
            "x\\r\\n2026-01-01 00:00:00 ERROR forged\n"))
        self.assertIn("INFO  webapp/option: x\\r\\n2026-01-01 00:00:00 ERROR forged: v\\x1b\n",
                      log_text(self.program))
        self.assertNotIn("\nERROR forged", log_text(self.program).replace("\\n", ""))

    def test_stored_file_is_filtered_or_replaced_at_start(self):
        cases = [
            (b'{"record":"true","onair":"true","monitoring":"true","verbose":""}',
             b'{"monitoring":"true","monorecord":"true","monostream":"true","verbose":""}',
             False),
            (b'garbage', DEFAULTS, True),
            (b'{"monostream":"","monorecord":""}',
             b'{"monitoring":"","monorecord":"","monostream":"","verbose":""}', False),
        ]
        for stored, after, warned in cases:
            with self.subTest(stored=stored):
                program = zvprocess.Program()
                self.addCleanup(program.cleanup)
                with open(os.path.join(program.dir, "options.json"), "wb") as f:
                    f.write(stored)
                program.start()
                ws = zvprocess.WebSocket(program.port(), "/ws_options")
                self.addCleanup(ws.close)
                state = json.loads(ws.recv())
                self.assertNotIn("record", state)
                self.assertNotIn("onair", state)
                with open(os.path.join(program.dir, "options.json"), "rb") as f:
                    self.assertEqual(f.read(), after)
                warning = "WARN  webapp/option: invalid %s/options.json\n" % program.dir
                self.assertEqual(log_text(program).count(warning), 1 if warned else 0)
                ws.close()
                program.cleanup()

    def test_sip_trace_while_verbose(self):
        with open(TEMPLATE) as f:
            config = f.read()
        with open(self.path("config"), "w") as f:
            f.write(config + "sip_listen\t\t127.0.0.1:%d\nnet_interface\t\t127.0.0.1\n" % SIP_PORT)
        self.store(b'{"verbose":"true"}')
        ws = self.connect()
        self.assertEqual(json.loads(ws.recv())["verbose"], "true")
        wait_log(self.program, r"INFO  webapp/option: verbose logging \(SIP trace\) enabled\n")

        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(udp.close)
        udp.bind(("127.0.0.1", 0))
        port = udp.getsockname()[1]
        udp.settimeout(10)
        for size in (7168, 7169):
            msg = sip_request(size, port)
            udp.sendto(msg, ("127.0.0.1", SIP_PORT))
            reply = udp.recv(65536)
            self.assertTrue(reply.startswith(b"SIP/2.0 "), reply)
            m = wait_log(self.program,
                         r"INFO  sip-trace: RX UDP 127\.0\.0\.1:%d -> \S+ \(%d bytes\)\n" % (port, size))
            # The message follows, in pieces the logger can hold, each
            # starting a log line of its own.
            text = log_text(self.program)[m.end():]
            text = re.sub(r"(?m)^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d INFO  ", "", text)
            shown = msg[:7168].decode()
            if size > 7168:
                self.assertTrue(text.startswith(shown + "\n[truncated]\n"), text[7000:7300])
            else:
                self.assertTrue(text.startswith(shown + "\n"), text[7000:7300])
                self.assertFalse(text[len(shown):].startswith("\n[truncated]"))
            wait_log(self.program, r"INFO  sip-trace: TX UDP \S+ -> 127\.0\.0\.1:%d \(%d bytes\)\n"
                     % (port, len(reply)))

        # Switching verbose on again changes nothing; off ends the trace.
        self.send(ws, "verbose", "true")
        ws.recv()
        self.send(ws, "verbose", "")
        ws.recv()
        wait_log(self.program, r"INFO  webapp/option: verbose logging \(SIP trace\) disabled\n")
        self.assertEqual(log_text(self.program).count("(SIP trace) enabled"), 1)
        traced = log_text(self.program).count("sip-trace: ")
        udp.sendto(sip_request(600, port), ("127.0.0.1", SIP_PORT))
        udp.recv(65536)
        time.sleep(0.3)
        self.assertEqual(log_text(self.program).count("sip-trace: "), traced)


if __name__ == "__main__":
    unittest.main()
