"""Far ends for the call tests: Debian's own baresip, each in a folder of
its own with its own configuration, driven over its TCP control socket
(netstrings of JSON). It sends a WAV file made by the test and writes what
it sends and receives to WAV files (the sndfile filter)."""

import glob
import json
import math
import os
import re
import signal
import socket
import struct
import subprocess
import threading
import time
import wave

MODULES = "/usr/lib/baresip/modules"


def write_tone(path, left, right, freq_l=440.0, freq_r=440.0, seconds=30):
    """A 48 kHz stereo 16-bit WAV: a sine of peak amplitude left on the left
    channel and right on the right one."""
    rate = 48000
    n = rate * seconds
    frames = bytearray()
    for i in range(n):
        frames += struct.pack("<hh", int(left * math.sin(2 * math.pi * freq_l * i / rate)),
                              int(right * math.sin(2 * math.pi * freq_r * i / rate)))
    write_wav(path, frames)


def write_wav(path, frames, rate=48000):
    """A stereo 16-bit WAV of the interleaved little-endian frames."""
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(bytes(frames))


def read_wav(path):
    """(channels, list of int samples interleaved) of a 16-bit WAV."""
    with wave.open(path, "rb") as w:
        ch = w.getnchannels()
        data = w.readframes(w.getnframes())
    return ch, list(struct.unpack("<%dh" % (len(data) // 2), data))


class FarEnd:
    """One baresip far end: SIP user "peer" on address:port, its control
    socket on address:ctrl_port."""

    def __init__(self, root, name, port, ctrl_port, wav, answer="manual", user="peer", wrapper=(),
                 address="127.0.0.1"):
        self.dir = os.path.join(root, name)
        self.dumps = os.path.join(self.dir, "dumps")
        os.makedirs(self.dumps, exist_ok=True)
        self.port = port
        self.ctrl_port = ctrl_port
        self.user = user
        self.address = address
        self.aor = "sip:%s@%s:%d" % (user, address, port)
        with open(os.path.join(self.dir, "config"), "w") as f:
            f.write("\n".join([
                "poll_method\t\tepoll",
                "sip_listen\t\t%s:%d" % (address, port),
                "net_interface\t\t" + address,
                "call_max_calls\t\t16",
                "audio_player\t\taubridge,null-%s" % name,
                "audio_source\t\taufile,%s" % wav,
                "audio_alert\t\taubridge,null-%s" % name,
                "ausrc_srate\t\t48000",
                "ausrc_channels\t\t2",
                "auplay_srate\t\t48000",
                "auplay_channels\t\t2",
                "audio_codecs\t\topus/48000/2",
                "rtp_stats\t\tyes",
                "module_path\t\t" + MODULES,
                "module\t\t\topus.so",
                "module\t\t\tg711.so",
                "module\t\t\taufile.so",
                "module\t\t\taubridge.so",
                "module\t\t\tsndfile.so",
                "module_tmp\t\taccount.so",
                "module_app\t\tmenu.so",
                "module_app\t\tctrl_tcp.so",
                "ctrl_tcp_listen\t\t%s:%d" % (address, ctrl_port),
                "snd_path\t\t" + self.dumps,
                ""]))
        params = ";regint=0"
        if answer == "auto":
            params += ";answermode=auto"
        with open(os.path.join(self.dir, "accounts"), "w") as f:
            f.write("<sip:%s@%s:%d>%s\n" % (user, address, port, params))
        self.log = open(os.path.join(self.dir, "log"), "w+")
        self.proc = None
        self.sock = None
        self.events = []
        self.lock = threading.Lock()
        self.token = 0
        self.wrapper = list(wrapper)    # a command that runs baresip, e.g. on a skewed clock

    def start(self):
        self.proc = subprocess.Popen([*self.wrapper, "baresip", "-f", self.dir], stdin=subprocess.DEVNULL,
                                     stdout=self.log, stderr=subprocess.STDOUT,
                                     start_new_session=bool(self.wrapper))
        end = time.monotonic() + 10
        while True:
            try:
                self.sock = socket.create_connection((self.address, self.ctrl_port), timeout=1)
                break
            except OSError:
                if time.monotonic() > end or self.proc.poll() is not None:
                    raise AssertionError("far end did not start:\n" + self.output())
                time.sleep(0.05)
        self.sock.settimeout(None)
        threading.Thread(target=self._reader, daemon=True).start()
        return self

    def _reader(self):
        buf = b""
        while True:
            try:
                chunk = self.sock.recv(65536)
            except OSError:
                return
            if not chunk:
                return
            buf += chunk
            while b":" in buf:
                length, rest = buf.split(b":", 1)
                n = int(length)
                if len(rest) < n + 1:
                    break
                msg, buf = rest[:n], rest[n + 1:]
                with self.lock:
                    self.events.append(json.loads(msg))

    def command(self, command, params=""):
        self.token += 1
        body = json.dumps({"command": command, "params": params,
                           "token": str(self.token)}).encode()
        self.sock.sendall(b"%d:%s," % (len(body), body))

    def dial(self, uri):
        self.command("dial", uri)

    def accept(self):
        self.command("accept")

    def hangup(self):
        self.command("hangup")

    def ask(self, command, params="", timeout=10):
        """Sends a command; the text of its response."""
        self.command(command, params)
        token = str(self.token)
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            with self.lock:
                for e in self.events:
                    if e.get("response") and e.get("token") == token:
                        return e.get("data", "")
            time.sleep(0.05)
        raise AssertionError("far end %s: no response to %s" % (self.dir, command))

    def rtp_received(self):
        """How many RTP packets the far end's call has received so far."""
        return int(re.search(r"\brcvd=(\d+)", self.ask("audio_debug")).group(1))

    def wait_event(self, kind, timeout=15, start=0):
        """The first event of type kind (e.g. "CALL_ESTABLISHED") from index
        start on; fails after timeout."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            with self.lock:
                for e in self.events[start:]:
                    if e.get("type") == kind:
                        return e
            time.sleep(0.05)
        raise AssertionError("far end %s: no %s in %r\n%s" % (self.dir, kind, self.events,
                                                               self.output()))

    def count(self, kind):
        with self.lock:
            return sum(1 for e in self.events if e.get("type") == kind)

    def output(self):
        self.log.flush()
        with open(self.log.name, errors="replace") as f:
            return f.read()

    def rtp_source(self, timeout=15):
        """(address, port) the far end receives the call's RTP from: the
        other side's own RTP socket."""
        end = time.monotonic() + timeout
        while True:
            m = re.search(r"incoming rtp for 'audio' established, receiving from ([0-9.]+):(\d+)",
                          self.output())
            if m:
                return m.group(1), int(m.group(2))
            if time.monotonic() > end:
                raise AssertionError("far end %s receives no RTP:\n%s" % (self.dir, self.output()))
            time.sleep(0.05)

    def received(self):
        """The WAV files of what the far end decoded, newest last."""
        return sorted(glob.glob(os.path.join(self.dumps, "*-dec.wav")), key=os.path.getmtime)

    def last_received(self, before=0, timeout=30):
        """The newest of more than before received files, once the far end
        has finished writing it: (channels, samples)."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            files = self.received()
            if len(files) > before:
                size = os.path.getsize(files[-1])
                time.sleep(0.3)
                try:
                    wav = read_wav(files[-1])
                    if wav[1] and size == os.path.getsize(files[-1]):
                        return wav
                except (wave.Error, EOFError, struct.error):
                    pass
            time.sleep(0.1)
        raise AssertionError("far end %s wrote no finished file" % self.dir)

    def stop(self):
        if self.sock:
            self.sock.close()
        if self.proc and self.proc.poll() is None:
            self._signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self._signal(signal.SIGKILL)
                self.proc.wait()
        self.log.close()

    def _signal(self, sig):
        # A wrapper may run baresip as a child of its own that a signal to
        # the wrapper leaves running (faketime does): its session is ended.
        if self.wrapper:
            os.killpg(self.proc.pid, sig)
        else:
            self.proc.send_signal(sig)
