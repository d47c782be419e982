"""On air with real peers on loopback: the program (built with the test
certificate authority among its roots) has its main account on the
service's SIP domain over TLS; a name server on loopback points that
domain at 127.0.0.1, where Debian's baresip answers as the "stream"
account with a certificate of the test authority."""

import os
import re
import socket
import ssl
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
import callrig  # noqa: E402
import dnsstub  # noqa: E402

PROGRAM = os.environ.get("ZORVANE_PROGRAM", "zorvane-standalone-testca")
CA_PEM = os.environ.get("ZV_TESTCA_PEM", "")
CA_KEY = os.environ.get("ZV_TESTCA_KEY", "")
DOMAIN = os.environ.get("ZV_SERVICE_SIP_DOMAIN", "sip.zorvane.net")
STREAM = "stream@" + DOMAIN
LOGIN = re.compile(r"https://stream\.zorvane\.net/stream/login/([0-9a-f-]{36})\?version=2")
MAIN_ACCOUNT = {"user": "zv", "password": "pw", "domain": DOMAIN, "transport": "tls",
                "regint": "0"}
STREAM_URI = "sip:%s;transport=tls" % STREAM


class ForgedCaller:
    """A caller over TLS whose From names the stream account, exactly as
    the stream call's peer is written; it keeps every status it is sent."""

    def __init__(self, program_tls=("127.0.0.1", 5091)):
        ctx = ssl.create_default_context(cafile=CA_PEM)
        raw = socket.create_connection(program_tls, timeout=10)
        self.sock = ctx.wrap_socket(raw, server_hostname=program_tls[0])
        here = "127.0.0.1:%d" % self.sock.getsockname()[1]
        target = "sip:zv@%s:%d;transport=tls" % program_tls
        sdp = ("v=0\r\no=stream 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\n"
               "t=0 0\r\nm=audio 7000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n")
        invite = ("INVITE %s SIP/2.0\r\n"
                  "Via: SIP/2.0/TLS %s;branch=z9hG4bK-forged-1;rport\r\n"
                  "From: <%s>;tag=forged1\r\n"
                  "To: <%s>\r\n"
                  "Call-ID: forged-1@127.0.0.1\r\n"
                  "CSeq: 1 INVITE\r\n"
                  "Contact: <sip:stream@%s;transport=tls>\r\n"
                  "Max-Forwards: 70\r\n"
                  "Content-Type: application/sdp\r\n"
                  "Content-Length: %d\r\n\r\n%s"
                  % (target, here, STREAM_URI, target, here, len(sdp), sdp))
        self.received = b""
        self.sock.sendall(invite.encode())
        self.sock.setblocking(False)

    def statuses(self):
        """The status codes received so far."""
        try:
            while chunk := self.sock.recv(65536):
                self.received += chunk
        except (ssl.SSLWantReadError, BlockingIOError):
            pass
        return [int(m) for m in re.findall(rb"^SIP/2\.0 (\d{3}) ", self.received, re.M)]

    def stop(self):
        self.sock.close()


def certificate(root, name, san):
    """A key and a certificate for san signed by the test authority, in one
    PEM file."""
    key, csr, crt = (os.path.join(root, name + ext) for ext in (".key", ".csr", ".crt"))
    ext = os.path.join(root, name + ".ext")
    with open(ext, "w") as f:
        f.write("subjectAltName=%s\n" % san)
    subprocess.run(["openssl", "req", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-subj",
                    "/CN=" + name, "-out", csr], check=True, capture_output=True)
    subprocess.run(["openssl", "x509", "-req", "-in", csr, "-CA", CA_PEM, "-CAkey", CA_KEY,
                    "-CAcreateserial", "-days", "2", "-extfile", ext, "-out", crt],
                   check=True, capture_output=True)
    pem = os.path.join(root, name + ".pem")
    with open(pem, "w") as out:
        for part in (crt, key):
            with open(part) as f:
                out.write(f.read())
    return pem


def start_program(rig, accounts, **kw):
    """The program with its user agents made (they are made 1000 ms after
    the start, together with the start of provisioning)."""
    ours = certificate(rig.root, "zorvane", "IP:127.0.0.1")
    zv = rig.add(callrig.Program(
        rig.root, accounts, program=PROGRAM,
        extra_config=["dns_server %s" % rig.dns.addr, "sip_certificate %s" % ours], **kw))
    zv.wait_for("webapp/account: start provisioning")
    return zv


def new_rig():
    rig = callrig.Rig()
    rig.dns = rig.add(dnsstub.NameServer({DOMAIN: "127.0.0.1"}))
    rig.add(callrig.Jack())
    return rig


def self_signed(root, name, san):
    pem = os.path.join(root, name + ".pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", pem, "-out", pem,
                    "-subj", "/CN=" + name, "-days", "2", "-addext", "subjectAltName=" + san],
                   check=True, capture_output=True)
    return pem


def stream_far_end(rig, trusted=True, name="stream"):
    """Debian's baresip as the stream account, TLS on 127.0.0.1:5061, with a
    certificate of the test authority or (not trusted) a self-signed one."""
    make = certificate if trusted else self_signed
    far_pem = make(rig.root, name, "DNS:" + DOMAIN)
    return rig.add(callrig.FarEnd(rig.root, name, 5060, 4446, user="stream",
                                  domain=DOMAIN, cert=far_pem, cafile=CA_PEM))


class OnAir(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = new_rig()
        try:
            cls.far = stream_far_end(cls.rig)
            cls.zv = start_program(cls.rig, [MAIN_ACCOUNT])
            cls.calls = cls.rig.add(callrig.Page(cls.zv.port, "/ws_calls"))
            cls.options = cls.rig.add(callrig.Page(cls.zv.port, "/ws_options"))
        except BaseException:
            cls.rig.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.rig.close()

    def tearDown(self):
        self.onair("false")
        time.sleep(0.5)

    def onair(self, value):
        self.options.send({"key": "onair", "value": value})

    def established(self, since, count=1, timeout=15):
        ok = callrig.wait_until(
            lambda: len(self.far.seen("CALL_ESTABLISHED", since)) >= count, timeout)
        self.assertTrue(ok, "no stream call:\n" + self.zv.output()[-3000:])
        return self.far.seen("CALL_ESTABLISHED", since)

    def closed_at_far_end(self, since, timeout=10):
        ok = callrig.wait_until(lambda: self.far.seen("CALL_CLOSED", since), timeout)
        self.assertTrue(ok, "the stream call did not end")
        return self.far.seen("CALL_CLOSED", since)[0]

    def page_closed(self, since):
        return [o for _, o in self.calls.json(since) if o.get("callback") == "CLOSED"]

    def test_on_air_opens_login_page_and_calls_the_stream_once(self):
        t0 = time.monotonic()
        opened_before = len(self.zv.opened(1))
        self.onair("true")
        up = self.established(t0)[0]
        urls = self.zv.opened(opened_before + 1)
        m = LOGIN.fullmatch(urls[opened_before])
        self.assertTrue(m, urls)
        with open(os.path.join(self.zv.p.dir, "uuid")) as f:
            self.assertEqual(m.group(1), f.read().strip())
        time.sleep(2)

        # Neither the calls object nor STATS show the stream call.
        for _, o in callrig.calls_objects(self.calls, t0):
            self.assertEqual(o, {})
        stats = [o for t, o in callrig.stats_messages(self.calls, up)]
        self.assertGreater(len(stats), 3)
        for o in stats:
            self.assertFalse(any(e["call"] for e in o["tracks"]), o)

        # A second "true" opens the page again and places no second call.
        t1 = time.monotonic()
        self.onair("true")
        self.assertEqual(len(self.zv.opened(opened_before + 2)), opened_before + 2)
        time.sleep(3)
        self.assertEqual(self.far.seen("CALL_ESTABLISHED", t1), [])
        self.assertEqual(len(self.far.seen("CALL_ESTABLISHED", t0)), 1)
        self.assertEqual(self.far.seen("CALL_CLOSED", t0), [])

    def test_far_end_hang_up_is_redialled_after_2000_ms(self):
        t0 = time.monotonic()
        self.onair("true")
        self.established(t0)
        hung = time.monotonic()
        self.far.command("hangup")
        self.calls.wait(lambda o: o.get("callback") == "CLOSED", 10, since=hung)
        again = self.established(hung)[0]
        self.assertGreaterEqual(again - hung, 1.9)
        self.assertLess(again - hung, 6)
        self.assertIn("webapp/stream_check: reconnect", self.zv.output())
        self.assertEqual(self.page_closed(hung)[0]["message"], "Connection reset by peer")
        # The page is told that the stream is live only while its call is
        # up, and why it is not connected in between.
        self.calls.wait(lambda o: o.get("callback") == "ONAIR" and o["state"] == "live", 10,
                        since=hung)
        states = [(o["state"], o["reason"]) for _, o in self.calls.json(t0)
                  if o.get("callback") == "ONAIR"]
        self.assertEqual(states, [("connecting", ""), ("live", ""),
                                  ("not connected", "Connection reset by peer"),
                                  ("connecting", ""), ("live", "")])

    def test_off_hangs_up_without_closed_and_dials_no_more(self):
        t0 = time.monotonic()
        self.onair("true")
        self.established(t0)
        off = time.monotonic()
        self.onair("false")
        self.closed_at_far_end(off)
        time.sleep(3.5)
        self.assertEqual(self.page_closed(off), [])
        self.assertEqual(self.far.seen("CALL_ESTABLISHED", off), [])

    def test_off_while_a_reconnect_is_pending_dials_no_more(self):
        t0 = time.monotonic()
        self.onair("true")
        self.established(t0)
        hung = time.monotonic()
        self.far.command("hangup")
        self.calls.wait(lambda o: o.get("callback") == "CLOSED", 10, since=hung)
        self.onair("false")
        time.sleep(3.5)
        self.assertEqual(self.far.seen("CALL_ESTABLISHED", hung), [])
        self.assertEqual(len(self.page_closed(hung)), 1)

    def test_off_and_on_within_2000_ms_of_a_drop_keeps_one_call(self):
        # The drop arms the reconnect; when it fires, the new stream call
        # already runs and is left alone.
        t0 = time.monotonic()
        self.onair("true")
        self.established(t0)
        hung = time.monotonic()
        self.far.command("hangup")
        self.calls.wait(lambda o: o.get("callback") == "CLOSED", 10, since=hung)
        self.onair("false")
        self.onair("true")
        self.established(hung)
        time.sleep(4)
        self.assertEqual(len(self.far.seen("CALL_ESTABLISHED", hung)), 1)
        self.assertEqual(self.far.seen("CALL_CLOSED", hung + 0.5), [])

    def test_stream_dialled_from_the_dial_box_is_the_stream_call(self):
        baresip = callrig.Page(self.zv.port, "/ws_baresip")
        try:
            t0 = time.monotonic()
            baresip.send({"command": "call", "dial": STREAM})
            self.established(t0)
            time.sleep(1)
            for _, o in callrig.calls_objects(self.calls, t0):
                self.assertEqual(o, {})
            hung = time.monotonic()
            self.far.command("hangup")
            again = self.established(hung)[0]
            self.assertGreaterEqual(again - hung, 1.9)
        finally:
            baresip.close()

    def forged_caller(self):
        forger = ForgedCaller()
        self.addCleanup(forger.stop)
        self.addCleanup(self.calls.send, {"command": "hangup", "key": "1"})
        return forger

    def test_caller_naming_the_stream_rings_as_a_caller_and_the_stream_stays_ours(self):
        # The stranger rings on a call track while our own stream call goes
        # on air, comes back after a drop and ends with on-air; the stranger
        # rings on through all of it.
        t0 = time.monotonic()
        forger = self.forged_caller()
        _, incoming = self.calls.wait(lambda o: o.get("callback") == "INCOMING", 15, since=t0)
        self.assertEqual(incoming, {"callback": "INCOMING", "peeruri": STREAM_URI, "key": "1"})

        self.onair("true")
        self.established(t0)
        hung = time.monotonic()
        self.far.command("hangup")
        again = self.established(hung)[0]
        self.assertGreaterEqual(again - hung, 1.9)

        off = time.monotonic()
        self.onair("false")
        self.closed_at_far_end(off)
        time.sleep(3)
        self.assertEqual(self.far.seen("CALL_ESTABLISHED", off), [])
        self.assertEqual([code for code in forger.statuses() if code >= 200], [])
        _, calls = callrig.calls_objects(self.calls, t0)[-1]
        self.assertEqual(list(calls), ["1"])
        self.assertEqual((calls["1"]["peer"], calls["1"]["state"]), (STREAM_URI, "Incoming"))

        self.calls.send({"command": "hangup", "key": "1"})
        self.assertTrue(callrig.wait_until(lambda: 486 in forger.statuses(), 10),
                        forger.statuses())

    def test_hangup_of_key_0_ends_the_stream_call_and_it_comes_back(self):
        t0 = time.monotonic()
        self.onair("true")
        self.established(t0)
        hung = time.monotonic()
        self.calls.send({"command": "hangup", "key": "0"})
        self.closed_at_far_end(hung)
        again = self.established(hung)[0]
        self.assertGreaterEqual(again - hung, 1.9)
        self.assertEqual(self.page_closed(hung), [])


class StreamFromTheDialBox(unittest.TestCase):
    def test_dialled_stream_is_the_stream_call_and_off_hangs_it_up(self):
        # The account is on no service domain: there is no main user agent,
        # and the stream call runs on the current one.
        rig = new_rig()
        try:
            far = stream_far_end(rig)
            zv = start_program(rig, [{"user": "zv", "password": "pw", "domain": "127.0.0.1",
                                      "transport": "tls", "regint": "0"}])
            calls = rig.add(callrig.Page(zv.port, "/ws_calls"))
            baresip = rig.add(callrig.Page(zv.port, "/ws_baresip"))
            options = rig.add(callrig.Page(zv.port, "/ws_options"))
            t0 = time.monotonic()
            baresip.send({"command": "call", "dial": STREAM})
            self.assertTrue(callrig.wait_until(lambda: far.seen("CALL_ESTABLISHED", t0), 15),
                            zv.output()[-3000:])
            time.sleep(1)
            for _, o in callrig.calls_objects(calls, t0):
                self.assertEqual(o, {})
            off = time.monotonic()
            options.send({"key": "onair", "value": "false"})
            self.assertTrue(callrig.wait_until(lambda: far.seen("CALL_CLOSED", off), 10),
                            "the stream call went on after on-air was switched off")
        finally:
            rig.close()


class StreamThatKeepsFailing(unittest.TestCase):
    def test_each_failed_stream_call_is_reported_and_placed_again_2000_ms_later(self):
        # The stream service's certificate is not trusted: every call fails
        # in its TLS handshake.
        rig = new_rig()
        try:
            far = stream_far_end(rig, trusted=False)
            zv = start_program(rig, [MAIN_ACCOUNT])
            calls = rig.add(callrig.Page(zv.port, "/ws_calls"))
            options = rig.add(callrig.Page(zv.port, "/ws_options"))
            t0 = time.monotonic()
            options.send({"key": "onair", "value": "true"})
            time.sleep(7.5)
            options.send({"key": "onair", "value": "false"})
            off = time.monotonic()
            time.sleep(3)
            closed = [(t, o["message"]) for t, o in calls.json(t0)
                      if o.get("callback") == "CLOSED"]
            self.assertGreaterEqual(len(closed), 3, zv.output()[-3000:])
            gaps = [b[0] - a[0] for a, b in zip(closed, closed[1:])]
            for gap in gaps:
                self.assertGreater(gap, 1.9)
                self.assertLess(gap, 4)
            # Each with the library's reason; every one but the last was
            # followed by a reconnect.
            self.assertEqual({m for _, m in closed}, {"Protocol error"})
            reconnects = zv.output().count("webapp/stream_check: reconnect")
            self.assertIn(reconnects, (len(closed) - 1, len(closed)))
            self.assertFalse([t for t, _ in closed if t > off + 0.5])
            self.assertEqual(far.seen("CALL_ESTABLISHED"), [])
        finally:
            rig.close()


class StreamThatVanishes(unittest.TestCase):
    # The shipped RTP timeout is 60 s; the test-only variable
    # ZORVANE_TEST_RTP_TIMEOUT shortens it here to 3 s.
    TIMEOUT_S = 3

    def test_stream_call_without_media_is_ended_and_placed_again_2000_ms_later(self):
        # The stream service's far end is killed: no BYE, its media stops.
        rig = new_rig()
        try:
            far = stream_far_end(rig)
            zv = start_program(rig, [MAIN_ACCOUNT],
                               env={"ZORVANE_TEST_RTP_TIMEOUT": str(self.TIMEOUT_S)})
            calls = rig.add(callrig.Page(zv.port, "/ws_calls"))
            options = rig.add(callrig.Page(zv.port, "/ws_options"))
            options.send({"key": "onair", "value": "true"})
            far.wait_event("CALL_ESTABLISHED")
            time.sleep(1)
            killed = time.monotonic()
            far.proc.kill()
            far.proc.wait()
            again = stream_far_end(rig, name="stream-again")

            closed = calls.wait(lambda o: o.get("callback") == "CLOSED", 15, since=killed)
            self.assertEqual(closed[1]["message"],
                             "No audio from the partner for %d s" % self.TIMEOUT_S)
            self.assertGreaterEqual(closed[0] - killed, self.TIMEOUT_S)
            self.assertLess(closed[0] - killed, self.TIMEOUT_S + 2.5)
            again.wait_event("CALL_ESTABLISHED", timeout=15)
            redialled = again.seen("CALL_ESTABLISHED")[0]
            self.assertGreaterEqual(redialled - closed[0], 1.9)
            self.assertIn("webapp/stream_check: reconnect", zv.output())
            options.send({"key": "onair", "value": "false"})
            again.wait_event("CALL_CLOSED")
        finally:
            rig.close()


class OnAirWithoutMainAccount(unittest.TestCase):
    UUID = "0a1b2c3d-4e5f-6789-abcd-ef0123456789"

    def on_air(self, uuid_file):
        """Goes on air without a main account; (CLOSED message, URLs opened
        after the page's, program output)."""
        rig = new_rig()
        try:
            zv = start_program(rig, [{"user": "zv", "password": "pw", "domain": "127.0.0.1",
                                      "regint": "0"}], files={"uuid": uuid_file})
            calls = rig.add(callrig.Page(zv.port, "/ws_calls"))
            options = rig.add(callrig.Page(zv.port, "/ws_options"))
            t0 = time.monotonic()
            options.send({"key": "onair", "value": "true"})
            _, o = calls.wait(lambda o: o.get("callback") == "CLOSED", 10, since=t0)
            time.sleep(0.5)
            return o["message"], zv.opened(1)[1:], zv.output()
        finally:
            rig.close()

    def test_login_page_opens_then_closed_with_einval(self):
        message, urls, _ = self.on_air(self.UUID)
        self.assertEqual(message, STREAM + ": Invalid argument [22]")
        self.assertEqual(urls, ["https://stream.zorvane.net/stream/login/%s?version=2"
                                % self.UUID])

    def test_uuid_file_is_trimmed_and_anything_else_is_refused(self):
        cases = [
            (" \t%s \r\n" % self.UUID, self.UUID),
            ("%s/../x" % self.UUID, None),
            ("x?a=1&b=%s" % self.UUID[:26], None),
            (self.UUID.replace("-", "_"), None),
        ]
        for content, uuid in cases:
            with self.subTest(content=content):
                message, urls, output = self.on_air(content)
                # The call goes on either way.
                self.assertEqual(message, STREAM + ": Invalid argument [22]")
                if uuid:
                    self.assertEqual(len(urls), 1)
                    self.assertEqual(LOGIN.fullmatch(urls[0]).group(1), uuid)
                else:
                    self.assertEqual(urls, [])
                    self.assertIn("installation UUID is not valid", output)


if __name__ == "__main__":
    unittest.main()
