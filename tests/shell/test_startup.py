"""Start-up, command line and shutdown of the built program."""

import json
import os
import re
import signal
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
import zvtest  # noqa: E402

HERE = os.path.dirname(__file__)
with open(os.path.join(HERE, "config.golden"), "rb") as f:
    GOLDEN = f.read()

USAGE = ("Usage: zorvane-standalone [options]\noptions:\n"
         "\t-f <path>        Config path\n\t-h -?            Help\n"
         "\t-r               Reset configuration\n\t-s               Enable SIP trace\n"
         "\t-t <sec>         Quit after <sec> seconds\n\t-v               Verbose debug\n")
SOFTWARE = "Zorvane v26.11.0-stable (x86_64/Linux)"
SIGNAL_SHIM = os.environ.get("ZV_SIGNAL_SHIM", "")
FIRST_OPTIONS = {"monitoring": "", "monorecord": "true", "monostream": "true", "verbose": ""}


def tree(root):
    found = []
    for dirpath, dirnames, filenames in os.walk(root):
        found += [os.path.join(dirpath, n) for n in dirnames + filenames]
    return sorted(found)


class Startup(unittest.TestCase):
    def setUp(self):
        self.box = zvtest.Sandbox()
        self.cfg = self.box.path("cfg")

    def tearDown(self):
        self.box.cleanup()

    def test_usage_cases_print_usage_and_touch_nothing(self):
        before = tree(self.box.root)
        for args in (["-h"], ["-?"], ["-x"], ["-t"], ["-f"], ["-v", "-h", "-t", "1"]):
            with self.subTest(args=args):
                code, out, err = zvtest.run(self.box, args, netns=False)
                self.assertEqual(code, 254)
                self.assertTrue(err.endswith(USAGE), err)
                self.assertEqual(out, SOFTWARE + "\n")
        self.assertEqual(tree(self.box.root), before)

    def test_first_start_writes_template_and_stops_cleanly(self):
        code, out, err = zvtest.run(self.box, ["-f", self.cfg, "-t", "1"])
        self.assertEqual(code, 0, err)
        self.assertEqual(out.splitlines()[0], SOFTWARE)
        self.assertIn("zorvane is ready.", out)
        with open(os.path.join(self.cfg, "config"), "rb") as f:
            self.assertEqual(f.read(), GOLDEN)
        self.assertFalse(os.path.exists(os.path.join(self.cfg, "config.old")))
        self.assertNotIn("configuration reset", out)
        self.assertNotIn("Memory leaks", err)
        self.assertNotIn("Timers (", err)

    def test_opened_programs_inherit_no_sockets(self):
        fds = self.box.path("opener-fds.txt")
        opener = self.box.path("fd-opener.sh")
        with open(opener, "w") as f:
            f.write('#!/bin/sh\nfor fd in /proc/$$/fd/*; do readlink "$fd"; done > "%s"\n' % fds)
        os.chmod(opener, 0o755)
        code, out, err = zvtest.run(self.box, ["-f", self.cfg, "-t", "1"],
                                    env=self.box.env(ZORVANE_OPENER=opener))
        self.assertEqual(code, 0, err)
        self.assertTrue(zvtest.wait_for_file_text(fds, "/"), "the page was not opened")
        with open(fds) as f:
            held = f.read()
        self.assertNotIn("socket:", held)

    def test_default_directory_is_dot_zorvane_in_home(self):
        code, out, err = zvtest.run(self.box, ["-t", "1"])
        self.assertEqual(code, 0, err)
        with open(os.path.join(self.box.home, ".zorvane", "config"), "rb") as f:
            self.assertEqual(f.read(), GOLDEN)

    def test_home_from_password_database_without_home_variable(self):
        env = self.box.env()
        del env["HOME"]
        env.pop("USER", None)
        env.pop("LOGNAME", None)
        p = zvtest.start(self.box, ["-t", "-5", "-h"], netns=False, env=env)
        p.communicate(timeout=30)
        self.assertEqual(p.returncode, 254)

    def test_quit_delay_that_is_not_positive_starts_no_timer(self):
        for delay in ("0", "-1", "abc"):
            with self.subTest(delay=delay):
                cfg = self.box.path("cfg-" + delay)
                p = zvtest.start(self.box, ["-f", cfg, "-t", delay])
                log = os.path.join(cfg, "logs", "zorvane.0.log")
                self.assertTrue(zvtest.wait_until_running(log))
                time.sleep(1.5)
                self.assertIsNone(p.poll())
                zvtest.send_signal(p, signal.SIGTERM)
                p.communicate(timeout=30)
                self.assertEqual(p.returncode, 0)

    def test_signals_take_the_orderly_path(self):
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(sig=sig):
                cfg = self.box.path("cfg-%d" % sig)
                p = zvtest.start(self.box, ["-f", cfg])
                log = os.path.join(cfg, "logs", "zorvane.0.log")
                self.assertTrue(zvtest.wait_until_running(log))
                zvtest.send_signal(p, sig)
                out, err = p.communicate(timeout=30)
                self.assertEqual(p.returncode, 0, err)
                with open(log) as f:
                    self.assertIn("INFO  terminated by signal %d\n" % sig, f.read())
                self.assertIn("ua: stop all", out)
                self.assertNotIn("Memory leaks", err)

    def test_signals_during_start_up_wait_for_the_loop(self):
        # The shim raises the signal as the program opens the named file:
        # the instance check, the configuration file, the first module (the
        # file log), the middle of the module list, the web module's
        # webapp.conf and its options.
        points = [("standalone.lock", signal.SIGTERM, False),
                  ("config", signal.SIGHUP, True),
                  ("zorvane.0.log", signal.SIGHUP, True),
                  ("uuid", signal.SIGINT, True),
                  ("webapp.conf", signal.SIGTERM, True),
                  ("options.json", signal.SIGINT, True)]
        for name, sig, given in points:
            with self.subTest(at=name, sig=sig.name):
                box = zvtest.Sandbox()
                self.addCleanup(box.cleanup)
                cfg = box.path("cfg") if given else os.path.join(box.home, ".zorvane")
                env = box.env(LD_PRELOAD=SIGNAL_SHIM, ZV_SIGNAL_AT=name, ZV_SIGNAL=str(int(sig)))
                code, out, err = zvtest.run(box, ["-f", cfg] if given else [], env=env)
                self.assertEqual(code, 0, out + err)
                self.assertIn("terminated by signal %d\n" % sig, out)
                self.assertIn("ua: stop all", out)
                self.assertNotIn("could not be started", err)
                with open(os.path.join(cfg, "config"), "rb") as f:
                    self.assertEqual(f.read(), GOLDEN)
                with open(os.path.join(cfg, "options.json")) as f:
                    self.assertEqual(json.load(f), FIRST_OPTIONS)
                with open(os.path.join(cfg, "webapp.conf")) as f:
                    self.assertRegex(f.read(), r"\Azv_listen\t127\.0\.0\.1\nzv_port\t\d+\n"
                                     r"zv_auto_answer\t0\nzv_provisioning_host\t\S+\n\Z")
                for json_file in ("accounts.json", "contacts.json"):
                    with open(os.path.join(cfg, json_file), "rb") as f:
                        self.assertEqual(f.read(), b"{}")
                self.assertEqual([n for n in os.listdir(cfg) if n.endswith(".tmp")], [])

    def test_second_signal_during_a_postponed_stop_exits_at_once(self):
        # An account whose registrar accepts the REGISTER and then falls
        # silent: the stop waits for an answer to the un-REGISTER, for up to
        # 1.5 s, unless a second signal ends the process.
        cfg = self.box.path("cfg")
        os.makedirs(cfg)
        with open(os.path.join(cfg, "accounts.json"), "w") as f:
            json.dump({"0": {"user": "alice", "domain": "127.0.0.1", "password": "pw",
                             "outbound": "sip:127.0.0.1:5071", "regint": "600"}}, f)
        with open(os.path.join(cfg, "config"), "wb") as f:
            f.write(GOLDEN + b"net_interface\t\t127.0.0.1\nsip_listen\t\t127.0.0.1:5060\n")
        log = os.path.join(cfg, "logs", "zorvane.0.log")
        registrar = os.path.join(HERE, "half_registrar.py")
        p = zvtest.start(self.box, ["-f", cfg], netns=False, wrapper=(
            "unshare", "-n", "--", "sh", "-c",
            'ip link set lo up && (python3 "%s" 5071 >/dev/null 2>&1 &) && exec "$@"' % registrar, "sh"))
        try:
            self.assertTrue(zvtest.wait_until_running(log))
            self.assertTrue(zvtest.wait_for_file_text(log, "200 OK"), "not registered")
            zvtest.send_signal(p, signal.SIGTERM)
            self.assertTrue(zvtest.wait_for_file_text(log, "terminated by signal 15"))
            time.sleep(0.5)
            self.assertIsNone(p.poll(), "the stop was not postponed")
            with open(log) as f:
                lines_before = f.read()
            started = time.monotonic()
            zvtest.send_signal(p, signal.SIGTERM)
            p.communicate(timeout=10)
            self.assertLess(time.monotonic() - started, 5)
            self.assertEqual(p.returncode, 0)
            with open(log) as f:
                self.assertNotIn("terminated by signal", f.read()[len(lines_before):])
        finally:
            if p.poll() is None:
                p.kill()
                p.communicate()

    def test_under_valgrind(self):
        code, out, err = zvtest.run(
            self.box, ["-f", self.cfg, "-t", "2"], timeout=240,
            wrapper=("valgrind", "--error-exitcode=99", "--leak-check=full",
                     "--errors-for-leak-kinds=definite", "-q",
                     "--suppressions=" + os.path.join(HERE, "valgrind.supp")))
        self.assertEqual(code, 0, err)
        self.assertIn("zorvane is ready.", out)


class Configuration(unittest.TestCase):
    def setUp(self):
        self.box = zvtest.Sandbox()
        self.cfg = self.box.path("cfg")
        os.makedirs(self.cfg)
        self.file = os.path.join(self.cfg, "config")

    def tearDown(self):
        self.box.cleanup()

    def start(self, *extra):
        return zvtest.run(self.box, ["-f", self.cfg, "-t", "1", *extra])

    def read(self, name):
        with open(os.path.join(self.cfg, name), "rb") as f:
            return f.read()

    def test_current_file_is_kept_with_the_users_changes(self):
        edited = GOLDEN + b"sip_listen\t\t127.0.0.1:0\n"
        with open(self.file, "wb") as f:
            f.write(edited)
        code, out, err = self.start()
        self.assertEqual(code, 0, err)
        self.assertEqual(self.read("config"), edited)
        self.assertNotIn("configuration reset", out)

    def test_other_versions_are_reset_and_kept_as_config_old(self):
        current = b"zv_version\t\tv26.11.0-stable\n"
        cases = {
            "older": GOLDEN.replace(current, b"zv_version\t\tv25.1.0-stable\n"),
            "missing": GOLDEN.replace(current, b""),
            "case": GOLDEN.replace(current, b"zv_version\t\tV26.11.0-STABLE\n"),
            "cut to 63": GOLDEN.replace(current, b"zv_version\t\tv26.11.0-stable" + b"x" * 55 + b"\n"),
        }
        for name, text in cases.items():
            with self.subTest(case=name):
                with open(self.file, "wb") as f:
                    f.write(text)
                code, out, err = self.start()
                self.assertEqual(code, 0, err)
                self.assertIn("zvconf: configuration reset (v26.11.0-stable)", out)
                self.assertEqual(self.read("config"), GOLDEN)
                self.assertEqual(self.read("config.old"), text)

    def test_reset_option_rewrites_a_current_file(self):
        edited = GOLDEN + b"# mine\n"
        with open(self.file, "wb") as f:
            f.write(edited)
        code, out, err = self.start("-r")
        self.assertEqual(code, 0, err)
        self.assertEqual(self.read("config"), GOLDEN)
        self.assertEqual(self.read("config.old"), edited)

    def test_file_that_cannot_be_moved_aside_is_kept(self):
        old = GOLDEN.replace(b"v26.11.0-stable", b"v1.0.0")
        with open(self.file, "wb") as f:
            f.write(old)
        # A config.old that is a folder with content can be neither removed
        # nor replaced by the rename.
        os.makedirs(os.path.join(self.cfg, "config.old", "x"))
        code, out, err = self.start()
        self.assertEqual(code, 0, err)
        self.assertEqual(self.read("config"), old)

    def test_failures_take_the_fatal_path(self):
        cases = [
            ("config is a folder", lambda: os.makedirs(self.file), 21, ["-f", self.cfg]),
            ("no parent folder", lambda: None, 2, ["-f", self.box.path("no", "such", "dir")]),
        ]
        for name, prepare, errno_value, args in cases:
            with self.subTest(case=name):
                prepare()
                code, out, err = zvtest.run(self.box, args + ["-t", "1"])
                self.assertEqual(code, errno_value, out + err)
                self.assertIn("Zorvane could not be started (", err)
                self.assertIn("[%d])." % errno_value, err)
                self.assertIn('see the "logs" folder in ' + args[1], err)
                self.assertNotIn("%USERPROFILE%", err)

    def test_config_cut_short_is_reset(self):
        # A file size limit ends the first start while it writes the file.
        code, out, err = zvtest.run(self.box, ["-f", self.cfg, "-t", "1"],
                                    wrapper=("sh", "-c", 'ulimit -f 1 && exec "$@"', "sh"))
        self.assertEqual(code, -signal.SIGXFSZ, out + err)
        code, out, err = self.start()
        self.assertEqual(code, 0, err)
        self.assertEqual(self.read("config"), GOLDEN)
        self.assertIn("http listening on ip:", out)

        # A file that an earlier write left without its module lines.
        cut = GOLDEN[:GOLDEN.index(b"module")]
        with open(self.file, "wb") as f:
            f.write(cut)
        code, out, err = self.start()
        self.assertEqual(code, 0, err)
        self.assertIn("zvconf: configuration reset (v26.11.0-stable)", out)
        self.assertEqual(self.read("config"), GOLDEN)
        self.assertEqual(self.read("config.old"), cut)
        self.assertIn("http listening on ip:", out)

    def test_full_disk_is_reported_not_parsed(self):
        def small_files():
            import resource
            resource.setrlimit(resource.RLIMIT_FSIZE, (600, 600))
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        p = zvtest.start(self.box, ["-f", self.cfg, "-t", "1"], preexec_fn=small_files)
        out, err = p.communicate(timeout=60)
        self.assertEqual(p.returncode, 5, out + err)
        self.assertIn("zvconf: could not write", out)
        self.assertFalse(os.path.exists(self.file))


if __name__ == "__main__":
    unittest.main()
