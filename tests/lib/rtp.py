"""RTP packets made by the tests: the fixed header, a stream of packets sent
at their pace from a socket of the test's own, and a pcap file of them that
sipp replays as a far end's audio."""

import socket
import struct
import time

PCAP_ETHERNET = 1


def packet(pt, seq, ts, ssrc, payload, marker=False):
    """One RTP packet: version 2, no padding, extension or CSRC."""
    return struct.pack("!BBHII", 0x80, (0x80 if marker else 0) | pt, seq & 0xFFFF,
                       ts & 0xFFFFFFFF, ssrc) + payload


class Stream:
    """Packets of one SSRC with running sequence numbers and timestamps;
    each run of frames goes on where the last left off, in the clock of its
    own payload type (a codec switch keeps the stream's time)."""

    def __init__(self, ssrc, seq=1000, ts=5000):
        self.ssrc = ssrc
        self.seq = seq
        self.ts = ts
        self.packets = []    # (seconds from the first, packet)
        self.seconds = 0.0

    def add(self, pt, clock, frames, ptime=0.02):
        """Appends one packet per payload in frames, ptime apart; clock is
        the payload type's RTP clock rate."""
        step = int(clock * ptime)
        for payload in frames:
            self.packets.append((self.seconds, packet(pt, self.seq, self.ts, self.ssrc, payload,
                                                      marker=not self.packets)))
            self.seq += 1
            self.ts += step
            self.seconds += ptime
        return self


def send_paced(packets, dest):
    """Sends (seconds, packet) pairs to dest at their times from now, from
    a socket of their own on loopback."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind(("127.0.0.1", 0))
        start = time.monotonic()
        for at, data in packets:
            delay = start + at - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            sock.sendto(data, dest)


def write_pcap(path, packets, src, dst):
    """A pcap file (Ethernet, IPv4, UDP) of (seconds, packet) pairs sent from
    src to dst, (address, port) each."""
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, PCAP_ETHERNET))
        for at, data in packets:
            frame = _ethernet(_ipv4(src[0], dst[0], _udp(src[1], dst[1], data)))
            usec = int(round(at * 1e6))
            f.write(struct.pack("<IIII", usec // 1000000, usec % 1000000, len(frame), len(frame)))
            f.write(frame)


def _udp(sport, dport, payload):
    # No checksum: the replaying side writes its own ports and sums.
    return struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload


def _ipv4(src, dst, payload):
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 0, 0, 64,
                         socket.IPPROTO_UDP, 0, socket.inet_aton(src), socket.inet_aton(dst))
    total = sum(struct.unpack("!10H", header))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return header[:10] + struct.pack("!H", ~total & 0xFFFF) + header[12:] + payload


def _ethernet(payload):
    return b"\x02\x00\x00\x00\x00\x02" + b"\x02\x00\x00\x00\x00\x01" + b"\x08\x00" + payload
