"""The impairment emulator: reads the IPv4 packets that the middle network
namespace of a link (emulated_link.py) routes into its TUN device, holds
back or drops the media packets as the direction's profile says, and writes
every packet back into the device at its time, for the kernel to route on.
Media are UDP datagrams whose first byte says RTP version 2 (RTP and RTCP);
everything else (SIP, STUN, TCP) passes at once, untouched, so that calls
are set up alike whatever the link does to their media. Nothing is
rewritten.

    python3 netem.py TUN NEAR_NET CONTROL_SOCKET PROFILES_JSON

NEAR_NET (a.b.c.d/n) is the near side's network: packets to it go
"inbound". PROFILES_JSON: {"seed": n, "inbound": {...}, "outbound": {...}}
with impairment.Profile's fields. The control socket (a Unix stream socket)
takes one JSON object a line and answers one:
  {"profiles": {...}}     new profiles from now on (the flows' draws go on)
  {"window": {"direction": "inbound"|"outbound"|"both", "seconds": s,
              "hold": false}}
                          from now on for s seconds every media packet of
                          the direction is dropped (an outage) or, with
                          hold, kept and released together at its end (a
                          stall)
  {"counts": null}        what happened to the media packets so far
  {"pauses": null}        {direction: [[start, seconds], ...]}: the moments
                          a flow's RTP packets stopped coming in for
                          longer than PAUSE (its sender or this machine
                          stalled, before the link did anything), start
                          on CLOCK_MONOTONIC
It prints "ready" once it runs."""

import fcntl
import heapq
import ipaddress
import json
import os
import select
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from impairment import DIRECTIONS, Flow, Profile  # noqa: E402

TUNSETIFF = 0x400454CA
IFF_TUN = 0x0001
IFF_NO_PI = 0x1000
# Media packets come every 20 ms; twice that without one is a pause.
PAUSE = 0.04


def open_tun(name):
    fd = os.open("/dev/net/tun", os.O_RDWR | os.O_NONBLOCK)
    fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", name.encode(), IFF_TUN | IFF_NO_PI))
    return fd


def media_flow(packet):
    """The flow key of a media packet (IPv4, UDP, RTP version 2), or None."""
    if len(packet) < 28 or packet[0] >> 4 != 4 or packet[9] != 17:
        return None
    ihl = (packet[0] & 15) * 4
    if struct.unpack_from("!H", packet, 6)[0] & 0x3FFF:
        return None     # a fragment
    if len(packet) < ihl + 9 or packet[ihl + 8] >> 6 != 2:
        return None
    return packet[12:20] + packet[ihl:ihl + 4]


def rtcp(packet):
    """Whether a media packet is RTCP (packet types 200-204), which comes
    seconds apart."""
    ihl = (packet[0] & 15) * 4
    return 72 <= packet[ihl + 9] & 0x7F <= 76


class Emulator:
    def __init__(self, tun, near_net, control_path, setup):
        self.fd = open_tun(tun)
        self.near = ipaddress.ip_network(near_net)
        self.seed = int(setup.get("seed", 1))
        self.profiles = {d: Profile(**setup.get(d, {})) for d in DIRECTIONS}
        self.flows = {}
        self.queue = []         # (time due, order, direction, packet)
        self.order = 0
        self.windows = {d: None for d in DIRECTIONS}   # (end, hold)
        self.held = {d: [] for d in DIRECTIONS}
        self.last_arrival = {}
        self.pauses = {d: [] for d in DIRECTIONS}
        self.counts = {d: {"media": 0, "lost": 0, "outage": 0, "held": 0, "reordered": 0, "passed": 0}
                       for d in DIRECTIONS}
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(control_path)
        self.listener.listen(4)
        self.clients = {}

    def direction(self, packet):
        return "inbound" if ipaddress.IPv4Address(packet[16:20]) in self.near else "outbound"

    def arrive(self, packet, now):
        key = media_flow(packet)
        if key is None:
            os.write(self.fd, packet)
            return
        d = self.direction(packet)
        counts = self.counts[d]
        counts["media"] += 1
        if not rtcp(packet):
            last = self.last_arrival.get((d, key))
            if last is not None and now - last > PAUSE:
                self.pauses[d].append([last, now - last])
            self.last_arrival[(d, key)] = now
        flow = self.flows.get((d, key))
        if flow is None:
            flow = self.flows[(d, key)] = Flow(self.profiles[d], self.seed, d)
        delay = flow.next_packet()
        window = self.windows[d]
        if window and now < window[0]:
            if window[1]:
                counts["held"] += 1
                self.held[d].append(packet)
            else:
                counts["outage"] += 1
            return
        if delay is None:
            counts["lost"] += 1
            return
        counts["reordered"] += flow.reordered
        if delay == 0:
            counts["passed"] += 1
            os.write(self.fd, packet)
            return
        self.order += 1
        heapq.heappush(self.queue, (now + delay, self.order, d, packet))

    def send_due(self, now):
        while self.queue and self.queue[0][0] <= now:
            _, _, d, packet = heapq.heappop(self.queue)
            self.counts[d]["passed"] += 1
            os.write(self.fd, packet)
        for d, window in self.windows.items():
            if window and now >= window[0]:
                self.windows[d] = None
                for packet in self.held[d]:
                    os.write(self.fd, packet)
                self.counts[d]["passed"] += len(self.held[d])
                self.held[d] = []

    def next_due(self):
        times = [t for t, _, _, _ in self.queue[:1]] + [w[0] for w in self.windows.values() if w]
        return min(times) if times else None

    def command(self, request):
        if "profiles" in request:
            for d in DIRECTIONS:
                if d in request["profiles"]:
                    self.profiles[d] = Profile(**request["profiles"][d])
                    for (direction, _), flow in self.flows.items():
                        if direction == d:
                            flow.profile = self.profiles[d]
            return {"ok": True}
        if "window" in request:
            w = request["window"]
            which = DIRECTIONS if w.get("direction", "both") == "both" else (w["direction"],)
            end = time.monotonic() + float(w["seconds"])
            for d in which:
                self.windows[d] = (end, bool(w.get("hold")))
            return {"ok": True}
        if "counts" in request:
            return self.counts
        if "pauses" in request:
            return self.pauses
        return {"error": "unknown request"}

    def serve_client(self, conn):
        try:
            data = conn.recv(65536)
        except OSError:
            data = b""
        if not data:
            del self.clients[conn]
            conn.close()
            return
        self.clients[conn] += data
        while b"\n" in self.clients[conn]:
            line, self.clients[conn] = self.clients[conn].split(b"\n", 1)
            try:
                answer = self.command(json.loads(line))
            except (ValueError, KeyError, TypeError) as e:
                answer = {"error": str(e)}
            conn.sendall(json.dumps(answer).encode() + b"\n")

    def run(self):
        print("ready", flush=True)
        while True:
            due = self.next_due()
            now = time.monotonic()
            timeout = None if due is None else max(0.0, due - now)
            readable, _, _ = select.select([self.fd, self.listener, *self.clients], [], [], timeout)
            now = time.monotonic()
            if self.fd in readable:
                while True:
                    try:
                        packet = os.read(self.fd, 65536)
                    except BlockingIOError:
                        break
                    self.arrive(packet, now)
            if self.listener in readable:
                conn, _ = self.listener.accept()
                self.clients[conn] = b""
            for conn in readable:
                if conn in self.clients:
                    self.serve_client(conn)
            self.send_due(time.monotonic())


def main():
    tun, near_net, control, profiles = sys.argv[1:5]
    Emulator(tun, near_net, control, json.loads(profiles)).run()


if __name__ == "__main__":
    main()
