"""Settings files that the program cannot use or save: a file it cannot
read is kept as it is and the start goes on; a save that fails is logged
and shown on the page; the file holding the passwords is private."""

import errno
import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lib"))
from zvprocess import Program, WebSocket  # noqa: E402

NOBODY = 65534
ACCOUNTS = b'{"0":{"user":"alice","domain":"127.0.0.1","password":"secret"}}'
CONTACTS = b'{"0":{"name":"Bob","sip":"bob@127.0.0.1"}}'
LISTENING = r"http listening on ip: 127\.0\.0\.1 port: \d+"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def mode(path):
    return stat.S_IMODE(os.lstat(path).st_mode)


class Settings(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zv-settings-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def run_once(self, **kw):
        """One start that goes on to serve the page, then a stop; the
        program's output."""
        p = Program(conf_dir=self.dir, **kw).start()
        try:
            p.wait_for(LISTENING)
            self.assertTrue(p.urls(), "no page opened:\n" + p.output())
            self.assertEqual(p.stop(), 0, p.output())
            return p.output()
        finally:
            p.cleanup()

    def test_files_that_cannot_be_read_are_kept(self):
        # Owned by the user the program runs as, but with no permissions.
        for name, text in (("accounts.json", ACCOUNTS), ("contacts.json", CONTACTS)):
            with open(self.path(name), "wb") as f:
                f.write(text)
            os.chown(self.path(name), NOBODY, NOBODY)
            os.chmod(self.path(name), 0)
        os.chown(self.dir, NOBODY, NOBODY)
        out = self.run_once(wrapper=("env", "HOME=" + self.dir, "setpriv", "--reuid=%d" % NOBODY,
                                     "--regid=%d" % NOBODY, "--clear-groups"))
        for name, text, part in (("accounts.json", ACCOUNTS, "account"),
                                 ("contacts.json", CONTACTS, "contact")):
            with self.subTest(file=name):
                self.assertEqual(read(self.path(name)), text)
                self.assertEqual(mode(self.path(name)), 0)
                self.assertIn("webapp/%s: %s cannot be used (Permission denied [13]): "
                              "it is left as it is" % (part, self.path(name)), out)

    def test_files_that_are_no_regular_file_or_too_large_are_kept(self):
        def fifo(path):
            os.mkfifo(path)

        def folder(path):
            os.mkdir(path)

        def huge(path):
            with open(path, "wb") as f:
                f.truncate(200 << 20)

        cases = [("contacts.json", fifo, "webapp/contact", "Invalid argument [22]", stat.S_ISFIFO),
                 ("accounts.json", folder, "webapp/account", "Is a directory [21]", stat.S_ISDIR),
                 ("webapp.conf", huge, "webapp", "File too large [27]", stat.S_ISREG)]
        for name, make, part, reason, kind in cases:
            with self.subTest(file=name):
                make(self.path(name))
                out = self.run_once()
                self.assertTrue(kind(os.lstat(self.path(name)).st_mode))
                if kind is stat.S_ISREG:
                    self.assertEqual(os.path.getsize(self.path(name)), 200 << 20)
                self.assertIn("%s: %s cannot be used (%s): it is left as it is"
                              % (part, self.path(name), reason), out)
                self.assertNotIn(name + ".tmp", os.listdir(self.dir))
                shutil.rmtree(self.dir)
                os.mkdir(self.dir)

    def test_passwords_file_is_private_and_a_replaced_one_keeps_its_mode(self):
        self.run_once()
        self.assertEqual(mode(self.path("accounts.json")), 0o600)
        os.chmod(self.path("accounts.json"), 0o640)
        self.run_once()
        self.assertEqual(mode(self.path("accounts.json")), 0o640)

    def test_a_save_on_a_full_disk_is_logged_and_shown(self):
        # A small file system of the test's own mount namespace; the
        # program's output and opener stay outside it.
        conf, side = self.path("cfg"), self.path("side")
        os.mkdir(conf)
        os.mkdir(side)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", conf], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", conf])

        p = Program(conf_dir=conf, side_dir=side).start()
        try:
            port = p.port()
            page = WebSocket(port, "/ws_baresip", ignore=lambda m: b'"callback"' not in m)
            self.addCleanup(page.close)
            contacts = WebSocket(port, "/ws_contacts")
            self.addCleanup(contacts.close)
            self.assertEqual(contacts.recv(), b"{}")

            fill = os.path.join(conf, "fill")
            with open(fill, "wb", buffering=0) as f:
                with self.assertRaises(OSError) as full:
                    while True:
                        f.write(b"\0" * 65536)
            self.assertEqual(full.exception.errno, errno.ENOSPC)

            contacts.send('{"command":"addcontact","name":"Bob","sip":"bob@127.0.0.1"}')
            self.assertEqual(json.loads(page.recv()),
                             {"callback": "ERROR",
                              "message": "Could not save contacts.json: "
                                         "No space left on device [28]"})
            p.wait_for(r"webapp: could not save %s \(No space left on device \[28\]\)"
                       % os.path.join(conf, "contacts.json"))
            self.assertEqual(os.listdir(conf).count("contacts.json.tmp"), 0)

            # With room again, the next save stores what the failed one lost.
            os.unlink(fill)
            contacts.recv()
            contacts.send('{"command":"addcontact","name":"Carol","sip":"carol@127.0.0.1"}')
            contacts.recv()
            self.assertEqual(p.stop(), 0)
            self.assertEqual(json.loads(read(os.path.join(conf, "contacts.json"))),
                             {"0": {"name": "Bob", "sip": "bob@127.0.0.1"},
                              "1": {"name": "Carol", "sip": "carol@127.0.0.1"}})
        finally:
            p.cleanup()


if __name__ == "__main__":
    unittest.main()
