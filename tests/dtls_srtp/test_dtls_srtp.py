"""A call with DTLS-SRTP media encryption between the built program and
Debian's baresip: both ends complete the handshake and audio flows. The
DTLS records on loopback are watched: the program's certificate carries an
EC key, the far end's the RSA key of Debian's build."""

import os
import re
import socket
import struct
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
import zvcall  # noqa: E402

zvcall.in_private_network()

from farend import FarEnd, write_tone  # noqa: E402
from zvcall import CallTest, state_of  # noqa: E402

OURS = "sip:zv@127.0.0.1:%d" % zvcall.SIP_PORT
EC_KEY = bytes.fromhex("06072a8648ce3d0201")          # id-ecPublicKey
RSA_KEY = bytes.fromhex("06092a864886f70d010101")     # rsaEncryption


class Handshakes(threading.Thread):
    """Every UDP datagram on loopback that holds a DTLS handshake record,
    as (source port, payload)."""

    def __init__(self):
        super().__init__(daemon=True)
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.ntohs(0x0003))
        self.sock.bind(("lo", 0))
        self.sock.settimeout(0.2)
        self.seen = []
        self.running = True
        self.start()

    def run(self):
        while self.running:
            try:
                frame = self.sock.recv(65536)
            except socket.timeout:
                continue
            ip = frame[14:]
            if len(ip) < 28 or ip[0] >> 4 != 4 or ip[9] != 17:
                continue
            udp = ip[(ip[0] & 15) * 4:]
            payload = udp[8:]
            # Content type 22 (handshake), DTLS 1.0 or 1.2.
            if len(payload) > 13 and payload[0] == 22 and payload[1] == 0xFE:
                self.seen.append((struct.unpack("!H", udp[:2])[0], payload))

    def stop(self):
        self.running = False
        self.join(2)
        self.sock.close()


class DtlsSrtpCall(CallTest):
    auto_answer = True
    account_extra = {"mediaenc": "dtls_srtp"}

    def test_a_call_is_encrypted_with_an_ec_certificate_of_ours(self):
        wav = os.path.join(self.root, "tone.wav")
        write_tone(wav, 8000, 8000, seconds=20)
        far = FarEnd(self.root, "far", 5070, 4444, wav)
        with open(os.path.join(far.dir, "config"), "a") as f:
            f.write("module\t\t\tdtls_srtp.so\n")
        with open(os.path.join(far.dir, "accounts"), "w") as f:
            f.write("<sip:peer@127.0.0.1:5070>;regint=0;mediaenc=dtls_srtp\n")
        self.farends.append(far)
        far.start()

        watch = Handshakes()
        self.addCleanup(watch.stop)
        far.dial(OURS)
        self.page.until(lambda m: state_of(m, "1") == "Established")
        far.wait_event("CALL_ESTABLISHED")
        self.program.wait_for(r"dtls_srtp: ---> DTLS-SRTP complete \(audio/RTP\)")
        end = time.monotonic() + 15
        while "DTLS-SRTP complete (audio/RTP)" not in far.output():
            self.assertLess(time.monotonic(), end, far.output()[-3000:])
            time.sleep(0.1)
        # Audio arrives through SRTP at both ends.
        self.program.wait_for(r"stream: incoming rtp for 'audio' established, "
                              r"receiving from 127\.0\.0\.1:(\d+)")
        end = time.monotonic() + 15
        while not re.search(r"incoming rtp for 'audio' established", far.output()):
            self.assertLess(time.monotonic(), end, far.output()[-3000:])
            time.sleep(0.1)
        # Each end's RTP port, as the other end receives from it; RTCP is
        # on the next port, with a handshake of its own.
        def ports(output):
            port = int(re.search(r"incoming rtp for 'audio' established, "
                                 r"receiving from 127\.0\.0\.1:(\d+)", output).group(1))
            return {port, port + 1}
        far_ports, our_ports = ports(self.program.output()), ports(far.output())
        watch.stop()

        def certificates(from_ports):
            return [p for port, p in watch.seen
                    if port in from_ports and (RSA_KEY in p or EC_KEY in p)]
        theirs, mine = certificates(far_ports), certificates(our_ports)
        self.assertTrue(theirs, "no certificate of the far end seen")
        self.assertTrue(all(RSA_KEY in p for p in theirs))
        self.assertTrue(mine, "no certificate of ours seen")
        for p in mine:
            self.assertIn(EC_KEY, p)
            self.assertNotIn(RSA_KEY, p)
        far.hangup()


if __name__ == "__main__":
    unittest.main()
