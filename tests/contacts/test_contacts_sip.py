"""A contact whose address tries to carry access=block: the program must
not block calls from that address. The caller is sipp on loopback."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
import zvprocess  # noqa: E402

TEMPLATE = os.path.join(HERE, "..", "shell", "config.golden")
SIP_PORT = 5090
CALLER_PORT = 5070
CALLER = "sipp@127.0.0.1:%d" % CALLER_PORT


class BlockedCaller(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zv-contacts-sip-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        with open(TEMPLATE) as f:
            config = f.read()
        self.write("config", config + "sip_listen\t\t127.0.0.1:%d\nnet_interface\t\t127.0.0.1\n"
                   % SIP_PORT)
        self.write("webapp.conf", "zv_provisioning_host\t127.0.0.1:1\n")
        self.write("accounts.json", json.dumps(
            {"0": {"user": "zv", "domain": "127.0.0.1:%d" % SIP_PORT, "regint": "0"}}))
        # One stored before the start, one added by the page.
        self.write("contacts.json", json.dumps(
            {"0": {"name": "Stored", "sip": CALLER + ">;access=block;x="}}))

    def write(self, name, text):
        with open(os.path.join(self.dir, name), "w") as f:
            f.write(text)

    def test_call_from_the_address_still_rings(self):
        program = zvprocess.Program(conf_dir=self.dir).start()
        self.addCleanup(program.cleanup)
        port = program.port()
        contacts = zvprocess.WebSocket(port, "/ws_contacts")
        self.addCleanup(contacts.close)
        calls = zvprocess.WebSocket(port, "/ws_calls")
        self.addCleanup(calls.close)
        contacts.recv()
        calls.recv()
        for name in ('\\"<sip:%s>;access=block;x=\\"' % CALLER, "Page"):
            contacts.send('{"command":"addcontact","name":"%s","sip":"%s>;access=block;x="}'
                          % (name, CALLER))
            contacts.recv()
            calls.recv()
        program.wait_for(r"webapp/account: .*|ua: .*zv@127\.0\.0\.1", timeout=10)
        time.sleep(1.5)  # the account's user agent comes 1000 ms after the start

        sipp = subprocess.Popen(
            ["sipp", "-sn", "uac", "-s", "zv", "127.0.0.1:%d" % SIP_PORT, "-i", "127.0.0.1",
             "-p", str(CALLER_PORT), "-m", "1", "-timeout", "20", "-nostdin",
             "-trace_err", "-error_file", os.path.join(self.dir, "sipp-errors")],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=self.dir)
        self.addCleanup(sipp.wait, 30)
        self.addCleanup(sipp.kill)

        incoming = None
        end = time.monotonic() + 15
        while incoming is None and time.monotonic() < end:
            msg = json.loads(calls.recv(max(0.1, end - time.monotonic())))
            if isinstance(msg, dict) and msg.get("callback") == "INCOMING":
                incoming = msg
        self.assertIsNotNone(incoming, program.output())
        self.assertEqual(incoming["peeruri"], "sip:" + CALLER)
        self.assertNotIn("blocked access", program.output())
        with open(os.path.join(self.dir, "contacts.json")) as f:
            self.assertEqual(len(json.load(f)), 3)


if __name__ == "__main__":
    unittest.main()
