"""A name server on loopback that knows a few host names: A queries for
them give their address; every other question about them has no answer,
and other names do not exist."""

import socket
import struct
import threading

TYPE_A = 1


def _question(packet):
    """(name, type, end of the question) of the query's first question."""
    labels, i = [], 12
    while packet[i]:
        n = packet[i]
        labels.append(packet[i + 1:i + 1 + n].decode("ascii", "replace").lower())
        i += 1 + n
    qtype, _ = struct.unpack("!HH", packet[i + 1:i + 5])
    return ".".join(labels), qtype, i + 5


def answer(packet, hosts):
    """The reply to one query packet."""
    qid, flags = struct.unpack("!HH", packet[:4])
    name, qtype, end = _question(packet)
    known = name in hosts
    rcode = 0 if known else 3
    records = b""
    count = 0
    if known and qtype == TYPE_A:
        records = struct.pack("!HHHIH", 0xC00C, TYPE_A, 1, 60, 4) + socket.inet_aton(hosts[name])
        count = 1
    head = struct.pack("!HHHHHH", qid, 0x8180 | (flags & 0x0100) | rcode, 1, count, 0, 0)
    return head + packet[12:end] + records


class NameServer:
    def __init__(self, hosts, addr=("127.0.0.1", 0)):
        self.hosts = {k.lower(): v for k, v in hosts.items()}
        self.queries = []
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(addr)
        self.addr = "%s:%d" % self.sock.getsockname()
        self.done = False
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        self.sock.settimeout(0.5)
        while not self.done:
            try:
                packet, peer = self.sock.recvfrom(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            try:
                self.queries.append(_question(packet)[:2])
                self.sock.sendto(answer(packet, self.hosts), peer)
            except (IndexError, struct.error):
                pass

    def stop(self):
        self.done = True
        self.sock.close()
