"""Quitting with calls up: the SIP library frees every call of a user agent
it ends without telling anyone, and the program goes on running its timers
and the page's commands until the SIP stack has closed. Under valgrind, a
quit with two calls up must end with exit code 0 and no invalid access."""

import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lib"))
import zvcall  # noqa: E402

zvcall.in_private_network()

from farend import write_tone  # noqa: E402
from zvcall import CallTest, state_of  # noqa: E402

VALGRIND_ERROR = 99


class QuitWithCalls(CallTest):
    # A program built with the address sanitizer checks its accesses itself.
    wrapper = () if os.environ.get("ZV_SANITIZED") else (
        "valgrind", "--quiet", "--error-exitcode=%d" % VALGRIND_ERROR,
        "--leak-check=no", "--trace-children=no")

    def test_quit_with_two_calls_up(self):
        wav = os.path.join(self.root, "tone.wav")
        write_tone(wav, 4000, 4000, seconds=60)
        a = self.farend("a", 5070, 4444, wav, answer="auto")
        b = self.farend("b", 5080, 4454, wav, answer="auto")
        for dial, key in (("peer@127.0.0.1:5070", "1"), ("peer@127.0.0.1:5080", "2")):
            self.page.send_baresip(command="call", dial=dial)
            self.page.until(lambda m: state_of(m, key) == "Established", timeout=60)
        time.sleep(1)

        self.program.proc.send_signal(signal.SIGTERM)
        # The agent's end frees both tracks with one calls object, and no
        # CLOSED: the program hangs up, nobody else.
        got = self.page.until(lambda m: "callback" not in m, timeout=60)
        self.assertEqual([{}], got)
        # The page keeps asking while the program closes.
        try:
            for _ in range(20):
                self.page.send_calls(command="volume", key="1", value="0.5")
                self.page.send_calls(command="hangup", key="2")
                time.sleep(0.05)
        except OSError:
            pass
        code = self.program.proc.wait(120)
        output = self.program.output()
        self.assertNotIn("Invalid read", output)
        self.assertNotIn("Invalid write", output)
        self.assertEqual(0, code, output[-4000:])
        for far in (a, b):
            far.wait_event("CALL_CLOSED", timeout=20)


if __name__ == "__main__":
    unittest.main()
