"""RTP timestamps chosen by a sender: in a call with a real far end
(Debian's baresip), packets that look like the far end's own (its address,
port and SSRC, a frame of its audio) but whose timestamps jump by half the
clock reach the call's RTP port. The call goes on, and the program ends
without a report; under the sanitizers, without a signed overflow in the
SIP library's jitter estimates."""

import os
import re
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lib"))
import zvcall  # noqa: E402

zvcall.in_private_network()

from farend import write_tone  # noqa: E402
from zvcall import CallTest, state_of  # noqa: E402

OURS = "sip:zv@127.0.0.1:%d" % zvcall.SIP_PORT
CRAFTED = 40


def udp_ports(pid):
    """The local UDP ports of the process's sockets."""
    out = subprocess.run(["ss", "-uanpH"], capture_output=True, text=True, check=True).stdout
    return {int(m.group(1)) for line in out.splitlines() if "pid=%d," % pid in line
            for m in [re.search(r"^\S+\s+\d+\s+\d+\s+\S+:(\d+)\s", line)] if m}


def first_rtp(sniffer, sources, destinations, timeout=10):
    """(source port, destination port, RTP packet) of the first RTP packet
    on loopback from one of the source ports to one of the destinations."""
    end = time.monotonic() + timeout
    sniffer.settimeout(1)
    while time.monotonic() < end:
        try:
            frame = sniffer.recv(65536)
        except socket.timeout:
            continue
        ip = frame[14:]
        if len(ip) < 20 or ip[9] != socket.IPPROTO_UDP:
            continue
        udp = ip[(ip[0] & 0x0F) * 4:]
        sport, dport = struct.unpack("!HH", udp[:4])
        rtp = udp[8:]
        # Version 2, and no RTCP packet type (200-204) as the second byte.
        if (sport in sources and dport in destinations and len(rtp) > 12
                and rtp[0] >> 6 == 2 and not 200 <= rtp[1] <= 204):
            return sport, dport, rtp
    raise AssertionError("no RTP packet from %r to %r" % (sources, destinations))


def udp_from(sport, dport, payload):
    """A UDP header and payload, without a checksum (allowed on IPv4)."""
    return struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload


class ChosenTimestamps(CallTest):
    auto_answer = True

    def test_timestamps_jumping_by_half_the_clock_leave_the_call_up(self):
        wav = os.path.join(self.root, "tone.wav")
        write_tone(wav, 8000, 8000, seconds=30)
        far = self.farend("far", 5070, 4444, wav)
        far.dial(OURS)
        self.page.until(lambda m: state_of(m, "1") == "Established")
        far.wait_event("CALL_ESTABLISHED")

        ours = udp_ports(self.program.proc.pid) - {zvcall.SIP_PORT}
        theirs = udp_ports(far.proc.pid) - {far.port}
        sniffer = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.ntohs(0x0800))
        self.addCleanup(sniffer.close)
        sniffer.bind(("lo", 0))
        sport, dport, rtp = first_rtp(sniffer, theirs, ours)
        sniffer.close()

        # The far end's packet again and again, its sequence numbers going
        # on from a jump and its timestamp moving by half the clock each
        # time: from the far end's own address and port.
        first, pt, seq, ts, ssrc = struct.unpack("!BBHII", rtp[:12])
        payload = rtp[12 + 4 * (first & 0x0F):]
        raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_UDP)
        self.addCleanup(raw.close)
        for k in range(CRAFTED):
            head = struct.pack("!BBHII", 0x80, pt & 0x7F, (seq + 5000 + k) & 0xFFFF,
                               (ts + k * 0x80000000 + k) & 0xFFFFFFFF, ssrc)
            raw.sendto(udp_from(sport, dport, head + payload), ("127.0.0.1", dport))
            time.sleep(0.01)

        # Nothing changes on the page until the far end hangs up.
        self.assertEqual([], self.page.quiet(2.0))
        far.hangup()
        self.assertEqual({"callback": "CLOSED", "message": "Connection reset by peer"},
                         self.page.next())
        self.assertEqual(0, self.program.stop())


if __name__ == "__main__":
    unittest.main()
