"""Texts from the network reach the page as texts: a callee's reason phrase
and a caller's address full of formatter directives and bytes that are no
UTF-8 (sipp as the other side) must reach the page as that text, with no
crash, and the invalid bytes replaced."""

import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lib"))
import zvcall  # noqa: E402

zvcall.in_private_network()

from zvcall import CallTest  # noqa: E402

REASON = b"%s%s%s%n%s%n \xff end"

SCENARIO = b"""<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="refuse with a hostile reason">
  <recv request="INVITE" />
  <send>
    <![CDATA[
SIP/2.0 486 """ + REASON + b"""
[last_Via:]
[last_From:]
[last_To:];tag=[pid]SIPpTag01[call_number]
[last_Call-ID:]
[last_CSeq:]
Content-Length: 0

    ]]>
  </send>
  <recv request="ACK" />
</scenario>
"""


CALLER = b"%s%n%s\xff"

CALLER_SCENARIO = b"""<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="call with a hostile address">
  <send>
    <![CDATA[
INVITE sip:zv@127.0.0.1:""" + str(zvcall.SIP_PORT).encode() + b""" SIP/2.0
Via: SIP/2.0/UDP [local_ip]:[local_port];branch=[branch]
From: <sip:""" + CALLER + b"""@127.0.0.1:[local_port]>;tag=[pid]SIPpTag00[call_number]
To: <sip:zv@127.0.0.1:""" + str(zvcall.SIP_PORT).encode() + b""">
Call-ID: [call_id]
CSeq: 1 INVITE
Contact: <sip:caller@[local_ip]:[local_port]>
Max-Forwards: 70
Content-Type: application/sdp
Content-Length: [len]

v=0
o=caller 1 1 IN IP4 [local_ip]
s=-
c=IN IP4 [media_ip]
t=0 0
m=audio [media_port] RTP/AVP 0
a=rtpmap:0 PCMU/8000

    ]]>
  </send>
  <recv response="100" optional="true" />
  <recv response="180" optional="true" />
  <recv response="486" />
  <send>
    <![CDATA[
ACK sip:zv@127.0.0.1:""" + str(zvcall.SIP_PORT).encode() + b""" SIP/2.0
Via: SIP/2.0/UDP [local_ip]:[local_port];branch=[branch]
From: <sip:""" + CALLER + b"""@127.0.0.1:[local_port]>;tag=[pid]SIPpTag00[call_number]
To: <sip:zv@127.0.0.1:""" + str(zvcall.SIP_PORT).encode() + b""">[peer_tag_param]
Call-ID: [call_id]
CSeq: 1 ACK
Max-Forwards: 70
Content-Length: 0

    ]]>
  </send>
</scenario>
"""


class HostileTexts(CallTest):
    def test_caller_address_is_text(self):
        scenario = os.path.join(self.root, "caller.xml")
        with open(scenario, "wb") as f:
            f.write(CALLER_SCENARIO)
        sipp = subprocess.Popen(["sipp", "-sf", scenario, "-i", "127.0.0.1", "-p", "5070",
                                 "-m", "1", "-nostdin", "127.0.0.1:%d" % zvcall.SIP_PORT],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        self.addCleanup(sipp.wait)
        self.addCleanup(lambda: sipp.poll() is None and sipp.kill())

        got = self.page.until(lambda m: m.get("callback") == "INCOMING")
        peer = "sip:%s%n%s\ufffd@127.0.0.1:5070"
        self.assertEqual({"callback": "INCOMING", "peeruri": peer, "key": "1"}, got[-1])
        self.assertEqual(peer, got[-2]["1"]["peer"])
        self.page.send_calls(command="hangup", key="1")
        self.assertEqual({}, self.page.next())
        self.assertEqual(0, sipp.wait(10))
        self.assertIsNone(self.program.proc.poll(), self.program.output())

    def test_reason_phrase_is_text(self):
        scenario = os.path.join(self.root, "refuse.xml")
        with open(scenario, "wb") as f:
            f.write(SCENARIO)
        sipp = subprocess.Popen(["sipp", "-sf", scenario, "-i", "127.0.0.1", "-p", "5070",
                                 "-m", "1", "-nostdin"], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(sipp.wait)
        self.addCleanup(lambda: sipp.poll() is None and sipp.kill())
        time.sleep(0.5)

        self.page.send_baresip(command="call", dial="callee@127.0.0.1:5070")
        got = self.page.until(lambda m: m.get("callback") == "CLOSED")
        self.assertEqual({"callback": "CLOSED", "message": "486 %s%s%s%n%s%n \ufffd end"},
                         got[-1])
        self.assertEqual({}, self.page.next())
        self.assertEqual(0, sipp.wait(10))
        self.assertIsNone(self.program.proc.poll(), self.program.output())


if __name__ == "__main__":
    unittest.main()
