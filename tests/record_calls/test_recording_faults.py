"""Recordings through the faults of real desks, on the built program with a
JACK dummy server and a far end calling in: writes to the FLAC files that
fail (the program runs with flac_faults preloaded), a kill -9 in the middle
of a recording followed by a new start, and the JACK server dying under a
recording. Every file must decode and the page must be told."""

import hashlib
import json
import os
import re
import socket
import time
import unittest

from test_recording import A_FREQ, A_LEVEL, RecordingTest, flacfiles, zvcall
from zvcall import Program, WebSocket

FAULTS = os.environ.get("ZV_FLAC_FAULTS", "")
WRITE_ERROR = "Recording stopped: could not write the record files (disk full?)"
DEVICE_ERROR = "Recording stopped: the audio device stopped"
MARKER = ".recording"


class AudioPage:
    """The page's "/ws_audio": the device dictionary and its error text."""

    def __init__(self):
        self.ws = WebSocket(zvcall.PAGE_PORT, "/ws_audio")
        self.ws.recv()

    def wait_error(self, text, timeout=30):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                if json.loads(self.ws.recv(1)).get("error_msg") == text:
                    return
            except socket.timeout:
                pass
        raise AssertionError("no error_msg %r on /ws_audio" % text)

    def close(self):
        self.ws.close()


def decoded_frames(path):
    channels, samples = flacfiles.decode(path)
    return len(samples) // channels


class FaultTest(RecordingTest):
    """One far end with a tone on track 1; the page's "/ws_audio" open."""

    def setUp(self):
        super().setUp()
        self.caller("a", 5070, 4444, A_FREQ, A_LEVEL, "1")
        self.audio = AudioPage()
        self.addCleanup(self.audio.close)

    def record_for(self, seconds):
        """Records; returns the folder and the stop point in samples."""
        folder, _, _ = self.start_recording()
        time.sleep(seconds)
        self.options.set("record", "false")
        stop = int(self.program.wait_for(r"zvaudio/record: stop after (\d+) samples\n").group(1))
        return folder, stop

    def assert_all_ended(self, timeout=20):
        """Every track's writer has ended, with its file closed or not."""
        end = time.monotonic() + timeout
        while True:
            out = self.program.output()
            ended = re.findall(r"zvaudio/record: track (\d+)(?: closed \(| kept |: the file)", out)
            if len(ended) >= 7 or time.monotonic() > end:
                self.assertEqual(list(range(7)), sorted(int(t) for t in ended), out[-5000:])
                return
            time.sleep(0.1)


class InPlaceWritesFail(FaultTest):
    """The encoder's last rewrite of the stream header fails, as on a full
    copy-on-write disk: the files keep all their audio."""

    wrapper = ("env", "LD_PRELOAD=" + FAULTS, "ZV_FAULT_IN_PLACE=1")

    def test_every_file_keeps_its_audio_and_the_page_is_told(self):
        folder, stop = self.record_for(3)
        self.audio.wait_error(WRITE_ERROR)
        self.assert_all_ended()
        out = self.program.output()
        self.assertIn("zvaudio/record: FLAC ERROR: finishing track 0: ", out)
        self.assertIn("zvaudio/record: FLAC ERROR: finishing track 1: ", out)
        self.assertNotIn("track 0 closed", out)
        self.program.wait_for(r"(?s)(unused, removed.*){5}")
        self.assertEqual(sorted(os.listdir(folder)), ["local.flac", "remote-track-1.flac"])
        for name in ("local.flac", "remote-track-1.flac"):
            path = os.path.join(folder, name)
            self.assertEqual(0, flacfiles.verify(path)[0], name)
            self.assertEqual(stop // 2, decoded_frames(path), name)


class WritesFailAfterAWhile(FaultTest):
    """Every write to a FLAC file fails once 200 kB have been written: the
    recording stops by itself, and what reached the files decodes."""

    wrapper = ("env", "LD_PRELOAD=" + FAULTS, "ZV_FAULT_AFTER=200000")

    def test_the_recording_stops_and_every_file_decodes(self):
        folder, _, _ = self.start_recording()
        self.audio.wait_error(WRITE_ERROR)
        self.options.until(lambda p: p.get("record") == "false")
        stop = int(self.program.wait_for(r"zvaudio/record: stop after (\d+) samples\n").group(1))
        self.assert_all_ended()
        self.program.wait_for(r"(?s)(unused, removed.*){5}")
        self.assertEqual(sorted(os.listdir(folder)), ["local.flac", "remote-track-1.flac"])
        for name in ("local.flac", "remote-track-1.flac"):
            path = os.path.join(folder, name)
            self.assertEqual(0, flacfiles.verify(path)[0], name)
            self.assertLessEqual(decoded_frames(path), stop // 2, name)


def digest(folder):
    """{file name: SHA-256 and modification time} of a folder."""
    out = {}
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        with open(path, "rb") as f:
            out[name] = (hashlib.sha256(f.read()).hexdigest(), os.stat(path).st_mtime_ns)
    return out


class KilledWhileRecording(FaultTest):
    def test_the_next_start_finishes_the_folder_and_leaves_finished_ones_alone(self):
        finished, _ = self.record_for(2)
        self.assert_all_ended()
        self.program.wait_for(r"(?s)(unused, removed.*){5}")
        before = digest(finished)
        self.assertEqual(sorted(before), ["local.flac", "remote-track-1.flac"])

        # The second recording dies with the program.
        self.options.set("record", "true")
        m = self.program.wait_for(r"(?s)zvaudio/record: start .*zvaudio/record: start (.*?)\n")
        killed = m.group(1)
        time.sleep(3)
        self.program.proc.kill()
        self.program.proc.wait()
        self.program.out.close()
        files = ["local.flac"] + ["remote-track-%d.flac" % n for n in range(1, 7)]
        self.assertEqual(sorted(os.listdir(killed)), sorted(files + [MARKER]))
        for name in files:
            path = os.path.join(killed, name)
            self.assertEqual(0, flacfiles.verify(path)[0], name)
            self.assertEqual(0, flacfiles.stream_info(path)[3], name)

        self.program = Program(self.root, self.jack, auto_answer=True, extra_env=self.program_env)
        self.program.wait_for(r"zvaudio/record: repaired the unfinished recording %s "
                              r"\(2 files finished, 5 unused removed\)\n" % re.escape(killed))
        self.assertEqual(1, len(re.findall("repaired", self.program.output())))
        self.assertEqual(sorted(os.listdir(killed)), ["local.flac", "remote-track-1.flac"])
        for name in ("local.flac", "remote-track-1.flac"):
            path = os.path.join(killed, name)
            self.assertEqual(0, flacfiles.verify(path)[0], name)
            frames = decoded_frames(path)
            self.assertGreater(frames, 2 * 48000, name)
            self.assertEqual(frames, flacfiles.stream_info(path)[3], name)
        self.assertEqual(before, digest(finished))


class JackDiesWhileRecording(FaultTest):
    def test_the_page_is_told_and_every_file_ends_at_the_stop_point(self):
        folder, _, _ = self.start_recording()
        time.sleep(2)
        self.jack.proc.terminate()
        self.jack.proc.wait(10)
        self.audio.wait_error(DEVICE_ERROR)
        self.options.until(lambda p: p.get("record") == "false")
        stop = int(self.program.wait_for(r"zvaudio/record: stop after (\d+) samples\n").group(1))
        self.assertGreater(stop, 96000)
        self.assertEqual(self.closed_tracks(7), {n: stop for n in range(7)})
        self.program.wait_for(r"(?s)(unused, removed.*){5}")
        for name in ("local.flac", "remote-track-1.flac"):
            path = os.path.join(folder, name)
            self.assertEqual(0, flacfiles.verify(path)[0], name)
            self.assertEqual(stop // 2, flacfiles.stream_info(path)[3], name)


if __name__ == "__main__":
    unittest.main()
