"""Hostile SIP peers (sipp on loopback): an INVITE without To is refused
with 400 and, under valgrind, without a read of anything uninitialised; and
the Contact we send every peer tells nothing about the program's memory and
stays the same for the user agent's life."""

import os
import re
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lib"))
import zvcall  # noqa: E402

zvcall.in_private_network()

from zvcall import CallTest  # noqa: E402

SIPP_PORT = 5070
VALGRIND_ERROR = 99

TOLESS_INVITE = (
    "INVITE sip:zv@127.0.0.1:%(port)d SIP/2.0\r\n"
    "Via: SIP/2.0/UDP 127.0.0.1:%(caller)d;branch=z9hG4bK-toless-1\r\n"
    "From: <sip:caller@127.0.0.1:%(caller)d>;tag=toless1\r\n"
    "Call-ID: toless-1@127.0.0.1\r\n"
    "CSeq: 1 INVITE\r\n"
    "Contact: <sip:caller@127.0.0.1:%(caller)d>\r\n"
    "Max-Forwards: 70\r\n"
    "Content-Type: application/sdp\r\n"
    "Content-Length: %(length)d\r\n"
    "\r\n%(sdp)s")
SDP = ("v=0\r\no=caller 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
       "m=audio 6000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n")

BUSY_CALLEE = """<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="busy callee">
  <recv request="INVITE" />
  <send>
    <![CDATA[
SIP/2.0 486 Busy Here
[last_Via:]
[last_From:]
[last_To:];tag=[pid]zv[call_number]
[last_Call-ID:]
[last_CSeq:]
Content-Length: 0

    ]]>
  </send>
  <recv request="ACK" />
</scenario>
"""


class SippTest(CallTest):
    def sipp(self, name, scenario, *args):
        """Runs sipp on 127.0.0.1:SIPP_PORT with the scenario; returns the
        process and the file of the messages it traced."""
        path = os.path.join(self.root, name + ".xml")
        with open(path, "w") as f:
            f.write(scenario)
        trace = os.path.join(self.root, name + ".msg")
        sipp = subprocess.Popen(["sipp", "-sf", path, "-i", "127.0.0.1", "-p", str(SIPP_PORT),
                                 "-nostdin", "-timeout", "60", "-timeout_error", "-trace_msg",
                                 "-message_file", trace, *args],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, cwd=self.root)
        self.addCleanup(lambda: sipp.poll() is None and sipp.kill())
        return sipp, trace


class InviteWithoutTo(SippTest):
    auto_answer = True
    # A program built with the address sanitizer checks its reads itself.
    wrapper = () if os.environ.get("ZV_SANITIZED") else (
        "valgrind", "--quiet", "--error-exitcode=%d" % VALGRIND_ERROR,
        "--leak-check=no", "--trace-children=no")

    def test_refused_with_400_and_nothing_uninitialised_is_read(self):
        # A socket of our own: sipp cannot take a response without To.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", SIPP_PORT))
            s.sendto((TOLESS_INVITE % {"port": zvcall.SIP_PORT, "caller": SIPP_PORT,
                                       "length": len(SDP), "sdp": SDP}).encode(),
                     ("127.0.0.1", zvcall.SIP_PORT))
            statuses = []
            s.settimeout(60)
            while not statuses or statuses[-1] < 200:
                statuses.append(int(s.recv(65536).split(b" ", 2)[1]))
            s.settimeout(2)
            try:
                while True:
                    statuses.append(int(s.recv(65536).split(b" ", 2)[1]))
            except socket.timeout:
                pass
        self.assertEqual(400, statuses[-1], statuses)
        self.assertEqual([], [code for code in statuses if code != 100 and code != 400])
        # Nothing reached the page, and the program goes on.
        self.assertEqual([], self.page.quiet(1.0))
        self.assertEqual(0, self.program.stop(120))
        output = self.program.output()
        self.assertNotIn("uninitialised", output)


class ContactUser(SippTest):
    def test_contact_user_is_no_address_and_stays_the_same(self):
        sipp, trace = self.sipp("callee", BUSY_CALLEE, "-m", "2")
        time.sleep(0.5)
        for _ in range(2):
            self.page.send_baresip(command="call", dial="callee@127.0.0.1:%d" % SIPP_PORT)
            self.page.until(lambda m: m.get("callback") == "CLOSED")
        self.assertEqual(0, sipp.wait(20))
        with open(trace, errors="replace") as f:
            contacts = re.findall(r"^Contact: *(.*)$", f.read(), re.M | re.I)
        self.assertEqual(2, len(contacts), contacts)
        users = {re.match(r"<sip:([^@>]*)@", c).group(1) for c in contacts}
        self.assertEqual(1, len(users), contacts)
        self.assertRegex(users.pop(), r"^zv-[0-9a-f]{16}$")


if __name__ == "__main__":
    unittest.main()
