"""Over-long requests to the page's port during a call: the main loop that
reads them also receives every call's audio. A far end (Debian's baresip)
sends a steady tone while the call is recorded; a client sends one 40 KB
request line a second for 8 s, and the caller's recorded track has no more
silence in that time than in the quiet seconds before it. Each request is
refused with 414 and its connection closed."""

import os
import socket
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
import zvcall  # noqa: E402

zvcall.in_private_network()

import flacfiles  # noqa: E402
from test_recording import A_LEVEL, RecordingTest  # noqa: E402
from tone_breaks import TONE_HZ, broken_audio  # noqa: E402

QUIET_S = 6.0
FLOOD_S = 8.0


def silent_seconds(track, start, end):
    """The silent gaps in the left side of a recorded track between two
    times."""
    channels, samples = track
    return sum(length for _, length in broken_audio(samples[::channels], start, end).gaps)


class LongRequestLines(RecordingTest):
    # The recording's clock keeps time while the machine is busy, so that
    # the gaps are the program's.
    jack_realtime = True

    def flood(self, answers, stop):
        """One 40 KB request line a second until stop is set; the first
        bytes of each answer (b"" when the server closed without one)."""
        line = b"GET /" + b"a" * 40000 + b" HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % zvcall.PAGE_PORT
        while not stop.is_set():
            began = time.monotonic()
            try:
                with socket.create_connection(("127.0.0.1", zvcall.PAGE_PORT), timeout=10) as s:
                    s.sendall(line)
                    answer = b""
                    while True:
                        chunk = s.recv(4096)
                        if not chunk:
                            break
                        answer += chunk
            except OSError as e:
                answer = repr(e).encode()
            answers.append(answer)
            stop.wait(max(0.0, 1.0 - (time.monotonic() - began)))

    def test_a_callers_audio_has_no_gap_and_each_line_gets_414(self):
        self.caller("a", 5070, 4444, TONE_HZ, A_LEVEL, "1")
        folder, _, _ = self.start_recording()
        time.sleep(QUIET_S)
        answers, stop = [], threading.Event()
        sender = threading.Thread(target=self.flood, args=(answers, stop))
        sender.start()
        time.sleep(FLOOD_S)
        stop.set()
        sender.join(30)
        time.sleep(0.5)
        self.options.set("record", "false")
        self.options.until(lambda p: p.get("record") == "false")
        self.program.wait_for(r"zvaudio/record: stop after \d+ samples\n")

        track = flacfiles.decode(os.path.join(folder, "remote-track-1.flac"))
        quiet = silent_seconds(track, 0.5, QUIET_S)
        flooded = silent_seconds(track, QUIET_S, QUIET_S + FLOOD_S)
        # A busy machine leaves up to about half a second of gaps in either
        # part; the long lines cost 2-3.5 s when they stall the loop.
        self.assertLess(flooded, quiet + 1.0,
                        "silence: %.2f s with the long lines, %.2f s before" % (flooded, quiet))
        self.assertGreaterEqual(len(answers), 6, answers)
        self.assertEqual([], [a[:60] for a in answers if not a.startswith(b"HTTP/1.1 414 ")])


if __name__ == "__main__":
    unittest.main()
