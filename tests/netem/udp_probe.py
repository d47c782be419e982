"""A UDP probe for the emulator's test, one side per process:

    udp_probe.py send ADDRESS PORT SOURCE_PORT COUNT INTERVAL_MS
    udp_probe.py receive PORT SECONDS

The sender sends COUNT datagrams INTERVAL_MS apart on a fixed schedule,
each an RTP-like header (version 2, so the emulator takes it for media)
with its sequence number and the moment it left (CLOCK_MONOTONIC, which
every network namespace shares). The receiver prints one line per datagram
that came within SECONDS: "SEQ SENT ARRIVED"."""

import socket
import struct
import sys
import time

HEADER = struct.Struct("!BBHd")


def send(address, port, source_port, count, interval):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("0.0.0.0", source_port))
    start = time.monotonic() + 0.05
    for seq in range(count):
        due = start + seq * interval
        while True:
            left = due - time.monotonic()
            if left <= 0:
                break
            time.sleep(left)
        s.sendto(HEADER.pack(0x80, 0, seq, time.monotonic()) + bytes(140), (address, port))


def receive(port, seconds):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("0.0.0.0", port))
    end = time.monotonic() + seconds
    print("ready", flush=True)
    lines = []
    while True:
        left = end - time.monotonic()
        if left <= 0:
            break
        s.settimeout(left)
        try:
            data = s.recv(2048)
        except socket.timeout:
            break
        arrived = time.monotonic()
        _, _, seq, sent = HEADER.unpack_from(data)
        lines.append("%d %.6f %.6f" % (seq, sent, arrived))
    print("\n".join(lines), flush=True)


def main():
    if sys.argv[1] == "send":
        send(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]), float(sys.argv[6]) / 1000)
    else:
        receive(int(sys.argv[2]), float(sys.argv[3]))


if __name__ == "__main__":
    main()
