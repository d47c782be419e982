"""A real G.722 call: both sides allow G.722 only; the program calls
Debian's baresip, which records what it decodes. The program's input is a
JACK client playing a tone."""

import os
import re
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
import callrig  # noqa: E402

PROGRAM = os.environ.get("ZORVANE_PROGRAM", "zorvane-standalone")
G722 = "G722/16000/1"


class G722Call(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = rig = callrig.Rig()
        try:
            jack = rig.add(callrig.Jack())
            cls.far = rig.add(callrig.FarEnd(rig.root, "far", 5070, 4444, codecs=G722,
                                             trace=True, source_rate=16000,
                                             source_channels=1))
            cls.zv = rig.add(callrig.Program(
                rig.root, [{"user": "zv", "password": "pw", "domain": "127.0.0.1",
                            "regint": "0", "audio_codecs": G722}], program=PROGRAM))
            cls.zv.wait_for("webapp/account: start provisioning")
            rig.add(callrig.JackTone(jack))
            calls = rig.add(callrig.Page(cls.zv.port, "/ws_calls"))
            baresip = rig.add(callrig.Page(cls.zv.port, "/ws_baresip"))
            baresip.send({"command": "call", "dial": "sip:peer@127.0.0.1:5070"})
            calls.wait(lambda o: o.get("1", {}).get("state") == "Established", 15)
            time.sleep(5)
            cls.far.command("hangup")
            cls.far.wait_event("CALL_CLOSED")
            time.sleep(0.5)
            cls.far_log = cls.far.output()
            cls.zv_log = cls.zv.output()
            cls.dumps = cls.far.dumps("-dec.wav")
            cls.received = [callrig.wav_mono(p, skip_seconds=1.5, seconds=2.0)
                            for p in cls.dumps]
        except BaseException:
            rig.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.rig.close()

    def test_offer_and_answer_carry_payload_type_9_only(self):
        # Offer and answer: G.722 on 9 is the only audio codec; telephone
        # events may come along.
        media = re.findall(r"m=audio \d+ RTP/AVP ([0-9 ]+)", self.far_log)
        self.assertGreaterEqual(len(media), 2, self.far_log[-3000:])
        maps = dict(re.findall(r"a=rtpmap:(\d+) (\S+)", self.far_log))
        for pts in media:
            self.assertEqual(pts.split()[0], "9")
            for pt in pts.split()[1:]:
                self.assertTrue(maps[pt].startswith("telephone-event/"), maps)
        self.assertEqual(maps["9"], "G722/8000")
        self.assertRegex(self.zv_log, r"audio: Set audio encoder: G722 16000Hz 1ch")

    def test_far_end_hears_our_tone(self):
        self.assertEqual(len(self.received), 1, self.dumps)
        rate, samples = self.received[0]
        self.assertEqual(rate, 16000)
        tone = callrig.JackTone.LEFT_HZ
        power = {f: callrig.goertzel(samples, rate, f) for f in (tone, 400, 1000, 1500, 3000)}
        # The input's first channel goes out: its tone stands 30 dB above
        # every other frequency looked at.
        others = max(v for f, v in power.items() if f != tone)
        self.assertGreater(power[tone], 1000 * others, power)
        # And it is a tone at full strength, not a trace of one.
        rms = (sum(x * x for x in samples) / len(samples)) ** 0.5
        self.assertGreater(rms, 1000)


if __name__ == "__main__":
    unittest.main()
