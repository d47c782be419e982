"""Recording with real calls: the program on a JACK dummy server, two far
ends (Debian's baresip) calling in with tones of their own, "record"
switched over "/ws_options"; the files checked with flac and metaflac.
Then quitting while recording, and a file size limit as a full disk."""

import array
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
import zvcall  # noqa: E402

zvcall.in_private_network()

import flacfiles  # noqa: E402
from farend import write_tone  # noqa: E402
from zvcall import CallTest, Options, WebSocket, state_of  # noqa: E402

OURS = "sip:zv@127.0.0.1:%d" % zvcall.SIP_PORT
# The program's local time is 5:30 ahead of UTC, so a folder named by UTC
# would not match.
TZ = "ZVT-05:30"
TZ_OFFSET = 5.5 * 3600
A_FREQ, A_LEVEL = 440.0, 12000
B_FREQ, B_LEVEL = 1000.0, 6000
LOCAL_LEFT_HZ, LOCAL_RIGHT_HZ = 240.0, 720.0
FILE_LIMIT_KB = 256


def folder_name(t):
    """The folder of a recording started at t (seconds since the epoch)."""
    tm = time.gmtime(int(t) + TZ_OFFSET)
    return "%d-%02d-%02d-%02d-%02d-%02d" % tm[:6]


class RecordingTest(CallTest):
    """Far ends call in and are answered at once; the Desktop is found
    through the user-dirs file of a configuration folder of the test's."""

    auto_answer = True
    # The recorded tracks are judged period by period: a server that is not
    # real-time falls behind on a busy machine and the calls' audio misses
    # its periods.
    jack_realtime = True

    def setUp(self):
        xdg = tempfile.mkdtemp(prefix="zv-xdg-")
        self.addCleanup(shutil.rmtree, xdg, True)
        with open(os.path.join(xdg, "user-dirs.dirs"), "w") as f:
            f.write('# written by the test\nXDG_DESKTOP_DIR="$HOME/Work Desk"\n')
        # What the program is started with, again by tests that restart it.
        self.program_env = dict(XDG_CONFIG_HOME=xdg, TZ=TZ)
        saved = {k: os.environ.get(k) for k in self.program_env}
        os.environ.update(self.program_env)
        try:
            super().setUp()
        finally:
            for k, v in saved.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v
        self.base = os.path.join(self.root, "Work Desk", "zorvane")
        self.options = Options()
        self.addCleanup(self.options.close)

    def caller(self, name, sip, ctrl, freq, level, key, seconds=60):
        """A far end sending a tone of freq and level on both sides for
        seconds, called in and established on track key."""
        wav = os.path.join(self.root, name + ".wav")
        write_tone(wav, level, level, freq, freq, seconds=seconds)
        far = self.farend(name, sip, ctrl, wav)
        far.dial(OURS)
        self.page.until(lambda m: state_of(m, key) == "Established")
        far.wait_event("CALL_ESTABLISHED")
        return far

    def start_recording(self):
        """Switches "record" on; returns the folder and the seconds since
        the epoch around the start."""
        before = time.time()
        self.options.set("record", "true")
        m = self.program.wait_for(r"zvaudio/record: start (.*)\n")
        after = time.time()
        self.options.until(lambda p: p.get("record") == "true")
        return m.group(1), before, after

    def closed_tracks(self, count, timeout=20):
        """{track: samples} of the "closed" lines, once count are logged."""
        end = time.monotonic() + timeout
        while True:
            found = re.findall(r"zvaudio/record: track (\d+) closed \((\d+) samples\)",
                               self.program.output())
            if len(found) >= count or time.monotonic() > end:
                return {int(t): int(n) for t, n in found}
            time.sleep(0.1)


class TwoCallers(RecordingTest):
    def local_tone(self):
        """JACK's example client into the program's input: a sine of
        LOCAL_LEFT_HZ left and LOCAL_RIGHT_HZ right."""
        env = dict(os.environ, JACK_DEFAULT_SERVER=self.jack.name)
        tone = subprocess.Popen(["jack_simple_client", "zvtone"], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(tone.wait)
        self.addCleanup(tone.terminate)
        for src, dst in (("zvtone:output1", "PortAudio:in_0"),
                         ("zvtone:output2", "PortAudio:in_1")):
            for _ in range(100):
                if subprocess.run(["jack_connect", src, dst], env=env,
                                  stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL).returncode == 0:
                    break
                time.sleep(0.1)
            else:
                self.fail("could not connect %s to %s" % (src, dst))

    def test_every_track_with_a_call_is_recorded_to_one_common_end(self):
        self.local_tone()
        a = self.caller("a", 5070, 4444, A_FREQ, A_LEVEL, "1")
        folder, before, after = self.start_recording()
        time.sleep(2)
        # B calls in two seconds into the recording.
        self.caller("b", 5080, 4454, B_FREQ, B_LEVEL, "2")
        time.sleep(3)
        self.options.set("record", "false")
        self.options.until(lambda p: p.get("record") == "false")
        stop = int(self.program.wait_for(r"zvaudio/record: stop after (\d+) samples\n").group(1))
        closed = self.closed_tracks(7)
        self.program.wait_for(r"(?s)(unused, removed.*){4}")
        removed = re.findall(r"zvaudio/record: track (\d+) unused, removed", self.program.output())
        self.assertEqual(["3", "4", "5", "6"], sorted(removed))
        a.hangup()

        # The folder is named by the local time of the start.
        # time() reads the kernel's coarse clock, a few milliseconds behind
        # Python's time.time().
        names = {folder_name(t) for t in range(int(before - 0.1), int(after) + 1)}
        self.assertEqual([self.base], [os.path.dirname(folder)])
        self.assertIn(os.path.basename(folder), names)
        self.assertEqual(sorted(os.listdir(self.base)), [os.path.basename(folder)])
        files = ["local.flac", "remote-track-1.flac", "remote-track-2.flac"]
        self.assertEqual(sorted(os.listdir(folder)), files)

        # About seven seconds, every track to the same stop point.
        self.assertGreater(stop, 5 * 96000)
        self.assertLess(stop, 30 * 96000)
        self.assertEqual(closed, {n: stop for n in range(7)})
        for name in files:
            path = os.path.join(folder, name)
            code, messages = flacfiles.verify(path)
            self.assertEqual(0, code, name + ": " + messages)
            self.assertEqual((48000, 2, 16, stop // 2), flacfiles.stream_info(path), name)
            self.assertEqual([("STREAMINFO", 34), ("VORBIS_COMMENT", None),
                              ("PADDING", 1234)],
                             [(t, n if t != "VORBIS_COMMENT" else None)
                              for t, n in flacfiles.blocks(path)], name)
            self.assertEqual(["ENCODED_BY=ZORVANE"], flacfiles.tags(path), name)

        # Each far end's tone on its own track and on both sides; B's track
        # is silence until its call came in, then B's tone.
        one = flacfiles.decode(os.path.join(folder, "remote-track-1.flac"))
        two = flacfiles.decode(os.path.join(folder, "remote-track-2.flac"))
        seconds = stop / 96000
        for side in (0, 1):
            self.assertNear(A_LEVEL, flacfiles.median_level(one, side, A_FREQ, 0.5, seconds),
                            "track 1, A's tone")
            self.assertLess(flacfiles.median_level(one, side, B_FREQ, 0.5, seconds), 200,
                            "track 1 carries B's tone")
            self.assertNear(B_LEVEL, flacfiles.median_level(two, side, B_FREQ, seconds - 2.0,
                                                            seconds), "track 2, B's tone")
            self.assertLess(flacfiles.median_level(two, side, A_FREQ, 0.5, seconds), 200,
                            "track 2 carries A's tone")
        self.assertFalse(any(two[1][:2 * 48000]), "track 2 before B's call is not silent")
        # The local input with mono recording on (the default): its left
        # channel on both sides.
        local = flacfiles.decode(os.path.join(folder, "local.flac"))
        for side in (0, 1):
            left = flacfiles.median_level(local, side, LOCAL_LEFT_HZ, 0.5, seconds)
            right = flacfiles.median_level(local, side, LOCAL_RIGHT_HZ, 0.5, seconds)
            self.assertGreater(left, 1000, "local input, side %d" % side)
            self.assertLess(right, left / 20, "local input, side %d" % side)

    def test_quitting_while_recording_closes_every_file_at_one_point(self):
        self.caller("a", 5070, 4444, A_FREQ, A_LEVEL, "1")
        folder, _, _ = self.start_recording()
        time.sleep(3)
        self.assertEqual(0, self.program.stop())

        out = self.program.output()
        stops = re.findall(r"zvaudio/record: stop after (\d+) samples\n", out)
        self.assertEqual(1, len(stops), out[-3000:])
        stop = int(stops[0])
        self.assertGreater(stop, 2 * 96000)
        self.assertEqual(self.closed_tracks(7, timeout=0), {n: stop for n in range(7)})
        self.assertEqual(sorted(os.listdir(folder)), ["local.flac", "remote-track-1.flac"])
        for name in ("local.flac", "remote-track-1.flac"):
            path = os.path.join(folder, name)
            self.assertEqual(0, flacfiles.verify(path)[0], name)
            self.assertEqual((48000, 2, 16, stop // 2), flacfiles.stream_info(path), name)

    def assertNear(self, expected, value, what):
        self.assertLess(abs(value - expected), 0.2 * expected + 150,
                        "%s: %.0f, expected about %.0f" % (what, value, expected))


class FullDisk(RecordingTest):
    """Files of the program may not grow beyond FILE_LIMIT_KB; writes past it
    fail as on a full disk (the signal of the limit ignored)."""

    wrapper = ("bash", "-c", "ulimit -f %d && trap '' XFSZ && exec \"$@\"" % FILE_LIMIT_KB,
               "bash")

    def test_a_full_disk_stops_the_recording_and_tells_the_page(self):
        # Noise fills the caller's file within seconds.
        wav = os.path.join(self.root, "noise.wav")
        noise = array.array("h", os.urandom(2 * 2 * 48000 * 30))
        with wave.open(wav, "wb") as w:
            w.setnchannels(2)
            w.setsampwidth(2)
            w.setframerate(48000)
            w.writeframes(array.array("h", (v >> 2 for v in noise)).tobytes())
        far = self.farend("noise", 5070, 4444, wav)
        far.dial(OURS)
        self.page.until(lambda m: state_of(m, "1") == "Established")
        audio = WebSocket(zvcall.PAGE_PORT, "/ws_audio")
        self.addCleanup(audio.close)
        audio.recv()
        folder, _, _ = self.start_recording()

        text = "Recording stopped: could not write the record files (disk full?)"
        end = time.monotonic() + 60
        while True:
            self.assertLess(time.monotonic(), end, "no error on /ws_audio")
            try:
                pushed = json.loads(audio.recv(1))
            except socket.timeout:
                continue
            if pushed.get("error_msg") == text:
                break
        self.options.until(lambda p: p.get("record") == "false")
        self.program.wait_for(r"zvaudio/record: FLAC ENCODE ERROR track 1: ")
        self.program.wait_for(r"zvaudio/record: " + re.escape(text))
        stop = int(self.program.wait_for(r"zvaudio/record: stop after (\d+) samples\n").group(1))
        closed = self.closed_tracks(6)
        self.assertEqual(sorted(closed), [0, 2, 3, 4, 5, 6])
        self.program.wait_for(r"zvaudio/record: track 1 kept \d+ of %d samples\n" % stop)
        self.program.wait_for(r"(?s)(unused, removed.*){5}")
        self.assertEqual(sorted(os.listdir(folder)), ["local.flac", "remote-track-1.flac"])

        # What the full file holds up to the failure decodes; the other
        # files go on to the common stop point.
        full = os.path.join(folder, "remote-track-1.flac")
        self.assertLessEqual(os.path.getsize(full), FILE_LIMIT_KB * 1024)
        for name in ("local.flac", "remote-track-1.flac"):
            code, messages = flacfiles.verify(os.path.join(folder, name))
            self.assertEqual(0, code, name + ": " + messages)
        self.assertEqual(stop // 2, flacfiles.stream_info(os.path.join(folder, "local.flac"))[3])
        # The full file is finished up to its last whole frame.
        kept = len(flacfiles.decode(full)[1])
        self.assertGreater(kept, 48000)
        self.assertLess(kept, stop)
        self.assertEqual(kept // 2, flacfiles.stream_info(full)[3])

        # The recorder is idle again: a new recording starts.
        self.options.set("record", "true")
        self.options.until(lambda p: p.get("record") == "true")
        self.program.wait_for(r"(?s)(zvaudio/record: start .*){2}")
        far.hangup()


if __name__ == "__main__":
    unittest.main()
