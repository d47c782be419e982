"""JACK's registry of servers: eight places for the whole machine, shared by
every user.  A server that was killed keeps its place until a server of the
same name starts and ends normally; reclaim_dead_servers() does that for every
place a dead server of this user holds, so that one killed server (a test's
device death, a timed-out test) does not leave the machine without JACK."""

import fcntl
import os
import struct
import subprocess
import sys

from zvtest import end_process

REGISTRY = "/dev/shm/jack-shm-registry"
SERVERS = 8
SERVERS_AT = 24     # after magic, protocol, type, size, header and entry lengths
SERVER_BYTES = 264  # pid, then a name of 256 characters and its end
LOCK = "/tmp/zorvane-jack-registry.lock"


def dead_server_names():
    """The names of this user's servers whose places are held by a process
    that no longer exists."""
    try:
        with open(REGISTRY, "rb") as f:
            data = f.read(SERVERS_AT + SERVERS * SERVER_BYTES)
    except FileNotFoundError:
        return []
    prefix = "jack-%d:" % os.getuid()
    names = []
    for i in range(SERVERS):
        at = SERVERS_AT + i * SERVER_BYTES
        if at + SERVER_BYTES > len(data):
            break
        pid = struct.unpack_from("<i", data, at)[0]
        name = data[at + 4:at + SERVER_BYTES].split(b"\0", 1)[0].decode(errors="replace")
        if pid <= 0 or not name.startswith(prefix) or os.path.exists("/proc/%d" % pid):
            continue
        names.append(name[len(prefix):].rstrip(":"))
    return names


def _start_and_end(name):
    proc = subprocess.Popen(["jackd", "--no-realtime", "-n", name, "-d", "dummy",
                             "-r", "48000", "-p", "480"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            env=dict(os.environ, JACK_NO_AUDIO_RESERVATION="1"))
    subprocess.run(["jack_wait", "-w", "-t", "5", "-s", name],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    end_process(proc)


def reclaim_dead_servers():
    """Gives back every place in the registry that a dead server of this user
    holds; returns the names reclaimed."""
    with open(LOCK, "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        names = dead_server_names()
        for name in names:
            _start_and_end(name)
        left = set(dead_server_names()) & set(names)
        if left:
            print("JACK registry: the places of %s stay taken" % ", ".join(sorted(left)),
                  file=sys.stderr)
        return names


if __name__ == "__main__":
    reclaim_dead_servers()
