"""Accounts against a real registrar (sipp with digest authentication):
registration and the page's status marks, deletion, passwords that are no
SIP token, the longest user and domain, refused fields, and the log."""

import json
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from acctest import (HERE, REGISTRAR_PORT, SERVICE_DOMAIN, SIP_PORT, Program, Registrar,  # noqa: E402
                     WebSocket, accounts_of, wait)

OUTBOUND = "sip:127.0.0.1:%d" % REGISTRAR_PORT


def record(user, domain, password, **more):
    r = {"user": user, "domain": domain, "password": password, "outbound": OUTBOUND}
    r.update(more)
    return r


def status_of(accounts, user):
    for r in accounts.values():
        if r.get("user") == user:
            return r.get("status")
    return None


class Registrar_(unittest.TestCase):
    def run_with(self, password, records):
        self.registrar = Registrar(password)
        self.addCleanup(self.registrar.stop)
        self.program = Program()
        self.addCleanup(self.program.cleanup)
        self.program.write("accounts.json", json.dumps(
            {str(i): r for i, r in enumerate(records)}, separators=(",", ":")))
        self.program.start()
        self.page = WebSocket("/ws_baresip")
        self.addCleanup(self.page.close)

    def wait_status(self, user, status=True):
        return self.page.recv_until(
            lambda m: (accounts_of(m) or {}) and status_of(accounts_of(m), user) is status)

    def test_stored_account_registers_with_digest_and_is_marked(self):
        pw = "Secret-pw.1"
        self.run_with(pw, [record("alice", SERVICE_DOMAIN, pw, quick="regint=0")])
        first = accounts_of(self.page.recv())
        self.assertEqual(first["0"]["user"], "alice")
        self.wait_status("alice")
        self.assertTrue(self.registrar.registered("sip:alice@%s" % SERVICE_DOMAIN),
                        self.registrar.log())

        # An account from the page is registered, stored and pushed.
        self.page.send({"command": "addsip", "user": "bob", "domain": SERVICE_DOMAIN,
                        "password": pw, "outbound": OUTBOUND})
        pushed = accounts_of(self.page.recv())
        self.assertEqual(pushed["1"], {"user": "bob", "domain": SERVICE_DOMAIN, "password": pw,
                                       "outbound": OUTBOUND})
        self.wait_status("bob")
        self.assertEqual(self.program.accounts()["1"]["user"], "bob")

        self.program.stop()
        logs = self.program.logs()
        self.assertIn("register quick sip:quick-alice@%s" % SERVICE_DOMAIN, logs)
        self.assertNotIn(pw, logs)

    def test_deletesip_unregisters_and_updates_the_file(self):
        pw = "pw"
        self.run_with(pw, [record("alice", SERVICE_DOMAIN, pw),
                           record("carol", "127.0.0.1:%d" % REGISTRAR_PORT, pw)])
        self.wait_status("alice")
        self.wait_status("carol")

        # Without a user the command is ignored: the next push still lists both.
        self.page.send({"command": "deletesip", "domain": SERVICE_DOMAIN})
        self.page.send({"command": "deletesip", "user": 7, "domain": SERVICE_DOMAIN})
        self.page.send({"command": "uagcurrent", "aor": "nobody@nowhere"})
        self.assertEqual(len(accounts_of(self.page.recv())), 2)
        self.assertEqual(len(self.program.accounts()), 2)

        self.page.send({"command": "deletesip", "user": "alice", "domain": SERVICE_DOMAIN})
        pushed = self.page.recv_until(lambda m: accounts_of(m) is not None and len(accounts_of(m)) == 1)
        self.assertEqual(accounts_of(pushed)["1"]["user"], "carol")
        self.assertTrue(wait(lambda: self.registrar.unregistered("sip:alice@%s" % SERVICE_DOMAIN)),
                        self.registrar.log())
        self.assertFalse(self.registrar.unregistered("sip:carol@127.0.0.1:%d" % REGISTRAR_PORT))
        self.program.wait_output("delete executed")
        self.assertEqual(list(self.program.accounts()), ["1"])

    def test_password_with_semicolon_and_blank_authenticates(self):
        pw = "a; b>c"
        self.run_with(pw, [record("dave", SERVICE_DOMAIN, pw)])
        self.wait_status("dave")
        self.assertNotIn(403, self.registrar.responses())
        self.program.stop()
        self.assertNotIn(pw, self.program.logs())

    def test_longest_user_and_domain_are_marked_and_deletable(self):
        user = "u" * 48 + "9"
        domain = "d" * 44 + ".test"
        self.run_with("pw", [record(user, domain, "pw")])
        self.wait_status(user)
        self.page.send({"command": "uagcurrent", "aor": "%s@%s" % (user, domain)})
        current = accounts_of(self.page.recv_until(
            lambda m: (accounts_of(m) or {}).get("0", {}).get("current") is True))
        self.assertEqual(current["0"]["user"], user)

        self.page.send({"command": "deletesip", "user": user, "domain": domain})
        self.page.recv_until(lambda m: accounts_of(m) == {})
        self.program.wait_output("delete executed")
        self.assertTrue(wait(lambda: self.registrar.unregistered("sip:%s@%s" % (user, domain))),
                        self.registrar.log())
        self.assertEqual(self.program.accounts(), {})

    def test_fields_outside_their_character_sets_are_stored_but_not_registered(self):
        self.run_with("pw", [])
        self.assertEqual(accounts_of(self.page.recv()), {})
        bad = [("eve@x>", SERVICE_DOMAIN, "udp"), ("eve", "a.test>;x=1", "udp"),
               ("eve", "a.test:099", "udp"), ("eve", "a.test", "u>p")]
        for user, domain, transport in bad:
            self.page.send({"command": "addsip", "user": user, "domain": domain,
                            "transport": transport, "password": "pw", "outbound": OUTBOUND})
            self.page.recv()
        stored = self.program.accounts()
        self.assertEqual([(r["user"], r["domain"], r["transport"]) for r in stored.values()], bad)
        self.assertEqual(self.program.output().count("webapp/account: account not registered"), 4)
        self.assertEqual(self.registrar.requests(), [])


class DamagedFile(unittest.TestCase):
    def test_a_damaged_accounts_file_is_never_written(self):
        program = Program()
        self.addCleanup(program.cleanup)
        damaged = b'{"0":{"user":"a","domain":"x.test"}} trailing'
        program.write("accounts.json", damaged)
        program.start()
        page = WebSocket("/ws_baresip")
        self.addCleanup(page.close)
        self.assertEqual(page.recv(), b"")
        page.send({"command": "addsip", "user": "b", "domain": "127.0.0.1:%d" % REGISTRAR_PORT,
                   "password": "pw", "regint": "0"})
        # The account is not stored, and the page is told so.
        self.assertEqual(json.loads(page.recv()),
                         {"callback": "ERROR",
                          "message": "Could not save accounts.json: Bad message [74]"})
        self.assertEqual(page.recv(), b"")
        page.send({"command": "deletesip", "user": "a", "domain": "x.test"})
        page.recv()
        time.sleep(1.5)  # past the start of registration and provisioning
        self.assertEqual(program.stop(), 0)
        self.assertEqual(program.read("accounts.json"), damaged)
        self.assertIn("accounts.json cannot be used", program.output())
        self.assertNotIn("start provisioning", program.output())


class CallOnDeletedAccount(unittest.TestCase):
    def test_deleting_a_ringing_account_refuses_its_call_and_tells_the_page(self):
        program = Program()
        self.addCleanup(program.cleanup)
        # The account asks to answer by itself: calls still wait for the page.
        program.write("accounts.json", json.dumps({"0": {
            "user": "alice", "domain": "127.0.0.1:%d" % REGISTRAR_PORT, "password": "pw",
            "regint": "0", "answermode": "auto"}}))
        program.start()
        page = WebSocket("/ws_baresip")
        self.addCleanup(page.close)
        calls = WebSocket("/ws_calls")
        self.addCleanup(calls.close)
        program.wait_output("start provisioning")

        log = program.path("caller.log")
        caller = subprocess.Popen(
            ["sipp", "-sf", os.path.join(HERE, "caller.xml"), "-s", "alice", "-i", "127.0.0.1",
             "-p", "5080", "-m", "1", "-nostdin", "-timeout", "30", "-timeout_error",
             "-trace_msg", "-message_file", log, "127.0.0.1:%d" % SIP_PORT],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=program.dir)
        self.addCleanup(lambda: caller.poll() is None and caller.kill())
        calls.recv_until(lambda m: b'"INCOMING"' in m)
        time.sleep(1.5)

        page.send({"command": "deletesip", "user": "alice", "domain": "127.0.0.1:%d" % REGISTRAR_PORT})
        closed = calls.recv_until(lambda m: b'"CLOSED"' in m)
        self.assertEqual(json.loads(closed)["callback"], "CLOSED")
        self.assertEqual(caller.wait(30), 0)
        with open(log, errors="replace") as f:
            messages = f.read()
        self.assertIn("SIP/2.0 486", messages)
        self.assertNotIn("SIP/2.0 200", messages)
        page.recv_until(lambda m: accounts_of(m) == {})


if __name__ == "__main__":
    unittest.main()
