"""Provisioning against a local HTTPS server whose certificate the test CA
signed (the program is the build that trusts that CA), with sipp as the
service's registrar: the request, an answer replacing the service's
records, the update notice, "{}", failures, and a restart."""

import json
import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from acctest import (REGISTRAR_PORT, SECOND_DOMAIN, SERVICE_DOMAIN, VERSION, Program,  # noqa: E402
                     Provisioning, Registrar, WebSocket, accounts_of, wait)

CA_PEM = os.environ["ZV_TESTCA_PEM"]
CA_KEY = os.environ["ZV_TESTCA_KEY"]
OUTBOUND = "sip:127.0.0.1:%d" % REGISTRAR_PORT
UUID = "c27538fb-67d8-2ad1-446c-d737829e3717"


def record(user, domain, **more):
    r = {"user": user, "domain": domain, "password": "pw", "outbound": OUTBOUND}
    r.update(more)
    return r


def by_user(accounts):
    return {r["user"]: r for r in accounts.values()}


class Provisioning_(unittest.TestCase):
    def setUp(self):
        self.registrar = Registrar("pw")
        self.addCleanup(self.registrar.stop)

    def server(self, body, status=200, trusted=True):
        s = Provisioning(CA_PEM, CA_KEY, trusted)
        self.addCleanup(s.stop)
        s.body = body
        s.status = status
        return s

    def program(self, server, records, uuid=UUID + "\n", dir=None):
        p = Program(provisioning_host=server.host, dir=dir)
        if dir is None:
            self.addCleanup(p.cleanup)
            p.write("uuid", uuid)
            p.write("accounts.json", json.dumps({str(i): r for i, r in enumerate(records)}))
        return p.start()

    def test_service_answer_replaces_the_service_records_and_announces_the_update(self):
        answer = record("svc", SERVICE_DOMAIN, quick="outbound=" + OUTBOUND,
                        update='v27.0.0 "beta"')
        server = self.server(json.dumps(answer))
        server.delay = 1.5  # the stored records register first
        p = self.program(server, [record("zed", "other.test"), record("old", SERVICE_DOMAIN),
                                  record("old2", SECOND_DOMAIN),
                                  record("old3", SERVICE_DOMAIN + ":443")])
        page = WebSocket("/ws_baresip")
        self.addCleanup(page.close)

        self.assertTrue(wait(lambda: server.lines), p.output())
        answered = time.monotonic()
        self.assertEqual(server.lines, ["GET /api/v1/provisioning/%s?version=%s&type=standalone "
                                        "HTTP/1.1" % (UUID, VERSION)])

        # The service's records are replaced by the answer, without "update".
        stored = wait(lambda: (lambda a: a if "svc" in by_user(a) else None)(p.accounts()))
        self.assertIsNotNone(stored, p.output())
        self.assertEqual(sorted(by_user(stored)), ["svc", "zed"])
        self.assertEqual(by_user(stored)["svc"], {k: v for k, v in answer.items() if k != "update"})
        for old in ("old@" + SERVICE_DOMAIN, "old2@" + SECOND_DOMAIN, "old3@%s:443" % SERVICE_DOMAIN):
            self.assertTrue(wait(lambda: self.registrar.unregistered("sip:" + old)), old)

        # The answer registers and, being on the service's domain, becomes
        # the current account although another agent came first.
        pushed = accounts_of(page.recv_until(lambda m: by_user(accounts_of(m) or {}).get(
            "svc", {}).get("status") is True))
        self.assertIs(by_user(pushed)["svc"].get("current"), True)
        self.assertNotIn("current", by_user(pushed)["zed"])
        self.assertTrue(self.registrar.registered("sip:svc@%s" % SERVICE_DOMAIN))
        self.assertTrue(wait(lambda: self.registrar.registered("sip:quick-svc@%s" % SERVICE_DOMAIN)))

        update = page.recv_until(lambda m: b'"UPDATE"' in m, timeout=20)
        self.assertGreater(time.monotonic() - answered, 7.0)
        self.assertEqual(update, b'{\t\t\t"callback": "UPDATE",\t\t\t"version": "v27.0.0 \\"beta\\""\t\t\t}')
        self.assertEqual(json.loads(update)["version"], 'v27.0.0 "beta"')
        self.assertEqual(p.stop(), 0)

        # The next start with the same answer ends the quick agent that the
        # stored record made, and keeps one service record.
        quick = "sip:quick-svc@%s" % SERVICE_DOMAIN

        def unregistrations():
            return sum(1 for to, exp, _ in self.registrar.requests() if to == quick and exp == 0)
        before = unregistrations()
        server.lines.clear()
        again = self.program(server, None, dir=p.dir)
        self.addCleanup(again.stop)
        self.assertTrue(wait(lambda: server.lines))
        self.assertTrue(wait(lambda: unregistrations() > before), self.registrar.log())
        again.wait_output("delete user sip:svc@")
        # The answer's record is stored again just after the deletion.
        wait(lambda: sorted(by_user(again.accounts())) == ["svc", "zed"])
        self.assertEqual(sorted(by_user(again.accounts())), ["svc", "zed"])

    def test_empty_answer_deletes_every_service_record(self):
        server = self.server("{}")
        p = self.program(server, [record("zed", "other.test"), record("a", SERVICE_DOMAIN),
                                  record("b", SECOND_DOMAIN), record("c", SERVICE_DOMAIN + ":443"),
                                  record("d", SERVICE_DOMAIN.upper())])
        self.assertTrue(wait(lambda: len(p.accounts()) == 2), p.output())
        p.wait_output("delete user sip:c@")
        p.stop()
        stored = by_user(p.accounts())
        self.assertEqual(sorted(stored), ["d", "zed"])
        self.assertIs(stored["zed"].get("current"), True)

    def test_failures_leave_the_stored_accounts(self):
        cases = [(500, True, "webapp/account: provisioning failed: 500 Internal Server Error"),
                 (200, False, "webapp/account: provisioning failed (")]
        for status, trusted, warning in cases:
            with self.subTest(status=status, trusted=trusted):
                server = self.server(json.dumps(record("svc", SERVICE_DOMAIN)), status, trusted)
                p = self.program(server, [record("a", SERVICE_DOMAIN)])
                before = p.read("accounts.json")
                p.wait_output(re.escape(warning))
                time.sleep(0.5)
                self.assertEqual(p.read("accounts.json"), before)
                p.cleanup()

    def test_installation_id_that_is_no_uuid_skips_provisioning(self):
        server = self.server("{}")
        p = self.program(server, [record("a", SERVICE_DOMAIN)], uuid="../x?y\n")
        p.wait_output("the installation UUID is not a UUID")
        time.sleep(1)
        self.assertEqual(server.lines, [])
        self.assertEqual(len(p.accounts()), 1)


if __name__ == "__main__":
    unittest.main()
