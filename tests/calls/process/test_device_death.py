"""The sound device dies under running calls: the JACK server is killed
(SIGKILL, as in a crash) while two callers talk and the page's statistics
run. The page is told, the calls stay up and end as usual, and the program
ends cleanly with the lost server's streams still open."""

import json
import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lib"))
import zvcall  # noqa: E402

zvcall.in_private_network()

from farend import write_tone  # noqa: E402
from zvcall import CallTest, WebSocket, state_of  # noqa: E402

START_ERROR = "Error starting Audio, please try reload or select another device..."


class DeviceDeath(CallTest):
    def call(self, dial, key):
        self.page.send_baresip(command="call", dial=dial)
        self.page.until(lambda m: state_of(m, key) == "Established")

    def audio_error(self, audio, timeout=30):
        """The error text that "/ws_audio" pushes next."""
        end = time.monotonic() + timeout
        while True:
            msg = json.loads(audio.recv(max(0.01, end - time.monotonic())))
            if "error_msg" in msg:
                return msg["error_msg"]

    def stats(self, seconds):
        """The STATS messages on "/ws_calls" within seconds; any other
        message fails."""
        count = 0
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                msg = json.loads(self.page.calls.recv(max(0.01, end - time.monotonic())))
            except TimeoutError:
                break
            self.assertEqual("STATS", msg.get("callback"), msg)
            count += 1
        return count

    def test_jack_server_killed_under_two_calls(self):
        wav = os.path.join(self.root, "tone.wav")
        write_tone(wav, 8000, 8000, seconds=60)
        a = self.farend("a", 5070, 4444, wav, answer="auto")
        b = self.farend("b", 5080, 4454, wav, answer="auto")
        self.call("peer@127.0.0.1:5070", "1")
        self.call("peer@127.0.0.1:5080", "2")
        audio = WebSocket(zvcall.PAGE_PORT, "/ws_audio")
        self.addCleanup(audio.close)
        audio.recv()
        self.assertGreater(self.stats(2), 0)

        self.jack.proc.send_signal(signal.SIGKILL)
        self.jack.proc.wait(10)
        self.assertEqual(START_ERROR, self.audio_error(audio))
        self.program.wait_for(r"zvaudio: the streams of the lost JACK server stay open")

        # The calls go on without sound: statistics and nothing else, then
        # each ends as usual, from either side.
        self.assertGreater(self.stats(2), 0)
        a.hangup()
        self.assertEqual({"callback": "CLOSED", "message": "Connection reset by peer"},
                         self.page.next())
        self.assertEqual(["2"], list(self.page.next()))
        self.page.send_calls(command="hangup", key="2")
        self.assertEqual({}, self.page.next())
        b.wait_event("CALL_CLOSED")

        self.assertEqual(0, self.program.stop())
        self.assertNotIn("Assertion", self.program.output())


if __name__ == "__main__":
    unittest.main()
