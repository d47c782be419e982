"""Real peers on loopback for the call tests: a JACK server with its dummy
backend for the program's sound, Debian's baresip as the far end (driven
over its ctrl_tcp socket) and the built program with its websockets.

Run inside a network namespace of its own (the tests' CMake does), since
media sockets bind every address."""

import array
import json
import math
import os
import queue
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
import zvprocess  # noqa: E402
from jack_server import JackServer  # noqa: E402
from zvtest import end_process  # noqa: E402

BARESIP_MODULES = "/usr/lib/baresip/modules"
PROGRAM_SIP = "127.0.0.1:5090"


def wait_until(pred, timeout, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        v = pred()
        if v:
            return v
        time.sleep(step)
    return pred()


class Jack(JackServer):
    """The rig's JACK server; the program finds it through
    JACK_DEFAULT_SERVER. A start that fails is tried again for a while. A
    real-time server keeps its clock under load; one that is not falls
    behind the wall clock, and a receiver's buffer with it, when the machine
    is busy."""

    def __init__(self, patience=120, realtime=False):
        name = "zvcall-%d" % os.getpid()
        os.environ["JACK_DEFAULT_SERVER"] = name
        os.environ["JACK_NO_AUDIO_RESERVATION"] = "1"
        super().__init__(name, realtime=realtime, patience=patience)


class JackTone:
    """JACK's example client playing its sine (240 Hz left, 720 Hz right)
    into the program's input."""

    LEFT_HZ = 240
    RIGHT_HZ = 720

    def __init__(self, jack):
        self.proc = subprocess.Popen(["jack_simple_client", "zvtone", jack.name],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        ok = wait_until(lambda: "zvtone:output1" in jack.ports(), 10)
        if not ok:
            self.stop()
            raise RuntimeError("the JACK tone client did not start")
        inputs = wait_until(lambda: sorted(p for p in jack.ports() if re.fullmatch(r"PortAudio:in_\d+", p)), 10)
        for src, dst in zip(("zvtone:output1", "zvtone:output2"), inputs):
            subprocess.run(["jack_connect", src, dst], check=True, capture_output=True)

    def stop(self):
        end_process(self.proc)


def tone_wav(path, freq, seconds, amplitude=12000, rate=48000, channels=2):
    """A 16-bit sine, the same on every channel."""
    w_ = 2 * math.pi * freq / rate
    mono = array.array("h", (int(amplitude * math.sin(w_ * i)) for i in range(int(rate * seconds))))
    out = array.array("h", bytes(len(mono) * 2 * channels))
    for c in range(channels):
        out[c::channels] = mono
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(out.tobytes())


class FarEnd:
    """Debian's baresip with one account, a tone as its source (at the
    codec's own rate and channels: this version does not convert files), a null
    player, dumps of what it sends and receives (snd/*-enc.wav, *-dec.wav)
    and its ctrl_tcp socket."""

    def __init__(self, root, name, sip_port, ctrl_port, user="peer", domain="127.0.0.1",
                 auto_answer=True, codecs=None, cert=None, cafile=None, tone=440,
                 trace=False, source_rate=48000, source_channels=2, audio=None, dumps=True,
                 modules=(), extra_config=(), address="127.0.0.1"):
        """audio: (source, player) in place of the tone and the null
        player; dumps=False loads no sndfile; modules and extra_config are
        added to the configuration; address: where SIP, media and the
        control socket are."""
        self.dir = os.path.join(root, name)
        self.snd = os.path.join(self.dir, "snd")
        os.makedirs(self.snd)
        self.ctrl_port = ctrl_port
        self.sip_port = sip_port
        self.address = address
        if audio is None:
            wav = os.path.join(self.dir, "tone.wav")
            tone_wav(wav, tone, 30, rate=source_rate, channels=source_channels)
            audio = ("aufile,%s" % wav, "aubridge,nul")
        lines = [
            "poll_method epoll",
            "call_max_calls 10",
            "sip_listen %s:%d" % (address, sip_port),
            "net_interface %s" % address,
            "audio_player %s" % audio[1],
            "audio_alert aubridge,nul",
            "audio_source %s" % audio[0],
            "rtp_stats yes",
            *(["snd_path %s" % self.snd] if dumps else []),
            "ctrl_tcp_listen %s:%d" % (address, ctrl_port),
            "module_path %s" % BARESIP_MODULES,
            "module opus.so",
            "module g711.so",
            "module g722.so",
            "module aufile.so",
            "module aubridge.so",
            *(["module sndfile.so"] if dumps else []),
            *("module %s" % m for m in modules),
            "module_tmp account.so",
            "module_app menu.so",
            "module_app ctrl_tcp.so",
            *extra_config,
        ]
        if cert:
            lines.append("sip_certificate %s" % cert)
        if cafile:
            lines.append("sip_cafile %s" % cafile)
        with open(os.path.join(self.dir, "config"), "w") as f:
            f.write("\n".join(lines) + "\n")
        account = "<sip:%s@%s>;regint=0" % (user, domain)
        if auto_answer:
            account += ";answermode=auto"
        if codecs:
            account += ";audio_codecs=%s" % codecs
        with open(os.path.join(self.dir, "accounts"), "w") as f:
            f.write(account + "\n")
        self.log = open(os.path.join(self.dir, "output"), "w+b")
        args = ["baresip", "-f", self.dir]
        if trace:
            args.append("-s")
        self.proc = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL)
        self.events = queue.Queue()
        self.history = []
        self.responses = queue.Queue()
        self.sock = wait_until(self._connect, 10)
        if not self.sock:
            raise RuntimeError("far end %s did not start:\n%s" % (name, self.output()))
        self.token = 0
        threading.Thread(target=self._read, daemon=True).start()

    def _connect(self):
        try:
            return socket.create_connection((self.address, self.ctrl_port), timeout=1)
        except OSError:
            return None

    def _read(self):
        buf = b""
        self.sock.settimeout(None)
        while True:
            try:
                chunk = self.sock.recv(65536)
            except OSError:
                return
            if not chunk:
                return
            buf += chunk
            while True:
                m = re.match(rb"(\d+):", buf)
                if not m or len(buf) < m.end() + int(m.group(1)) + 1:
                    break
                n = int(m.group(1))
                body = buf[m.end():m.end() + n]
                buf = buf[m.end() + n + 1:]
                msg = json.loads(body)
                if msg.get("event"):
                    self.history.append((time.monotonic(), msg))
                    self.events.put(msg)
                else:
                    self.responses.put(msg)

    def command(self, command, params="", timeout=10):
        self.token += 1
        body = json.dumps({"command": command, "params": params,
                           "token": str(self.token)}).encode()
        self.sock.sendall(b"%d:%s," % (len(body), body))
        end = time.monotonic() + timeout
        while True:
            msg = self.responses.get(timeout=max(0.01, end - time.monotonic()))
            if msg.get("token") == str(self.token):
                return msg

    def wait_event(self, kind, timeout=15):
        """The next event of type kind; earlier events of other types are
        dropped."""
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            if left <= 0:
                raise AssertionError("far end: no %s:\n%s" % (kind, self.output()))
            try:
                ev = self.events.get(timeout=left)
            except queue.Empty:
                continue
            if ev.get("type") == kind:
                return ev

    def seen(self, kind, since=0.0):
        """Times of the events of type kind after since."""
        return [t for t, ev in list(self.history) if ev.get("type") == kind and t >= since]

    def output(self):
        self.log.flush()
        with open(self.log.name, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def dumps(self, suffix):
        """The sndfile dumps ending in suffix ("-dec.wav": what it received)."""
        return sorted(os.path.join(self.snd, n) for n in os.listdir(self.snd)
                      if n.endswith(suffix))

    def stop(self):
        end_process(self.proc)
        try:
            self.sock.close()
        except OSError:
            pass
        self.log.close()


class Page:
    """One websocket of the page with every message kept, each with the
    moment it arrived."""

    def __init__(self, port, path):
        self.ws = zvprocess.WebSocket(port, path)
        self.messages = []
        self.lock = threading.Lock()
        self.done = False
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while not self.done:
            try:
                data = self.ws.recv(timeout=0.5)
            except socket.timeout:
                continue
            except (OSError, ConnectionError):
                return
            with self.lock:
                self.messages.append((time.monotonic(), data))

    def send(self, obj):
        self.ws.send(json.dumps(obj))

    def json(self, since=0.0):
        """(time, object) of every JSON message after since."""
        out = []
        with self.lock:
            msgs = list(self.messages)
        for t, data in msgs:
            if t < since:
                continue
            try:
                out.append((t, json.loads(data)))
            except ValueError:
                pass
        return out

    def wait(self, pred, timeout=15, since=0.0):
        """The first (time, object) after since for which pred holds."""
        def find():
            for t, o in self.json(since):
                if pred(o):
                    return t, o
            return None
        found = wait_until(find, timeout)
        if not found:
            raise AssertionError("no such message within %ss; last ones: %r"
                                 % (timeout, self.json(since)[-5:]))
        return found

    def close(self):
        self.done = True
        self.ws.close()


def stats_messages(page, since=0.0):
    return [(t, o) for t, o in page.json(since) if o.get("callback") == "STATS"]


def calls_objects(page, since=0.0):
    return [(t, o) for t, o in page.json(since) if "callback" not in o]


class Program:
    """The built program with a configuration of its own: SIP on
    127.0.0.1:5090 (TLS 5091), the given accounts, webapp.conf and other
    files of its configuration folder."""

    def __init__(self, root, accounts, extra_config=(), webapp_conf=b"", program=None,
                 files=None, name="zorvane", env=None):
        self.dir = os.path.join(root, name)
        os.makedirs(self.dir)
        for file_name, content in (files or {}).items():
            with open(os.path.join(self.dir, file_name), "w") as f:
                f.write(content)
        with open(os.path.join(ROOT, "tests", "shell", "config.golden")) as f:
            config = f.read()
        config += "\n".join(["sip_listen %s" % PROGRAM_SIP, "net_interface 127.0.0.1",
                             *extra_config]) + "\n"
        with open(os.path.join(self.dir, "config"), "w") as f:
            f.write(config)
        with open(os.path.join(self.dir, "accounts.json"), "w") as f:
            json.dump({str(i): a for i, a in enumerate(accounts)}, f)
        if program:
            zvprocess.PROGRAM = program
        self.p = zvprocess.Program(conf_dir=self.dir, webapp_conf=webapp_conf, env=env)
        for attempt in range(3):
            self.started = time.monotonic()
            self.p.start()
            try:
                self.port = self.p.port()
            except BaseException:
                self.p.stop()
                raise
            if zvprocess.zvtest.JACK_CLIENT_FAILED not in self.p.output() or attempt == 2:
                break
            print("\nthe program came up without its JACK client; started once more",
                  file=sys.stderr)
            self.p.stop()
            self.p.out.close()
            # The next start's log is the first.
            shutil.rmtree(os.path.join(self.dir, "logs"), ignore_errors=True)
        # The module opens the page at the end of its init.
        self.ready = time.monotonic()

    def output(self):
        return self.p.output()

    def wait_for(self, pattern, timeout=15):
        return self.p.wait_for(pattern, timeout)

    def opened(self, count, timeout=10):
        return self.p.urls(timeout=timeout, count=count)

    def stop(self):
        code = self.p.stop()
        self.p.out.close()
        return code


class Rig:
    """A temporary folder with everything started in it, stopped and removed
    at the end."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="zv-callrig-")
        self.parts = []

    def add(self, part):
        self.parts.append(part)
        return part

    def close(self):
        """Stops every part, then raises the first program's unclean end."""
        unclean = None
        for part in reversed(self.parts):
            try:
                if isinstance(part, Page):
                    part.close()
                else:
                    part.stop()
            except AssertionError as e:
                unclean = unclean or e
            except Exception:
                pass
        if os.environ.get("ZV_KEEP_RIG"):
            print("rig kept in", self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)
        if unclean:
            raise unclean


def goertzel(samples, rate, freq):
    """The power of samples at freq."""
    k = 2 * math.cos(2 * math.pi * freq / rate)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + k * s1 - s2, s1
    return s1 * s1 + s2 * s2 - k * s1 * s2


def wav_mono(path, skip_seconds=0.0, seconds=2.0):
    """The first channel of a 16-bit WAV file, as (rate, samples)."""
    with wave.open(path, "rb") as w:
        rate, ch = w.getframerate(), w.getnchannels()
        w.readframes(int(rate * skip_seconds))
        raw = w.readframes(int(rate * seconds))
    vals = [int.from_bytes(raw[i:i + 2], "little", signed=True)
            for i in range(0, len(raw) - 1, 2)]
    return rate, vals[::ch]
