"""Texts from the network reach the page as texts: a callee's reason phrase
full of formatter directives and bytes that are no UTF-8 (sipp as the
callee) must close the call with that text and nothing else happening."""

import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
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


class HostileTexts(CallTest):
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
