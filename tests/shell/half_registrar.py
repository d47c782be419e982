"""A registrar that accepts the first REGISTER and never answers again:
half_registrar.py PORT. The program's un-REGISTER at its stop then waits
for its transaction to give up. It ends after a minute without requests."""

import socket
import sys

sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.bind(("127.0.0.1", int(sys.argv[1])))
sock.settimeout(60)
answered = False
while True:
    try:
        data, peer = sock.recvfrom(65535)
    except socket.timeout:
        break
    text = data.decode(errors="replace")
    if answered or not text.startswith("REGISTER "):
        continue
    head = text.split("\r\n\r\n", 1)[0].split("\r\n")
    keep = [l for l in head[1:] if l.split(":", 1)[0].strip().lower()
            in ("via", "v", "from", "f", "call-id", "i", "cseq", "contact", "m")]
    to = next(l for l in head[1:] if l.split(":", 1)[0].strip().lower() in ("to", "t"))
    reply = ["SIP/2.0 200 OK", *keep, to + ";tag=half", "Expires: 3600", "Content-Length: 0"]
    sock.sendto(("\r\n".join(reply) + "\r\n\r\n").encode(), peer)
    answered = True
