"""The contacts over the program's "/ws_contacts" websocket: the stored
file byte for byte, the pushes and their order, a damaged file."""

import json
import os
import shutil
import socket
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
import zvprocess  # noqa: E402

SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)


def arrival(ws, timeout=10):
    """The kernel's receive time (ns) and the payload of the next message,
    which must be one unmasked text frame shorter than 126 bytes."""
    ws.sock.settimeout(timeout)
    data, anc, _, _ = ws.sock.recvmsg(65536, socket.CMSG_SPACE(16))
    stamps = [struct.unpack("qq", d[:16]) for lvl, typ, d in anc
              if lvl == socket.SOL_SOCKET and typ == SO_TIMESTAMPNS]
    assert stamps, "no receive time"
    assert data[0] == 0x81 and data[1] < 126 and len(data) == 2 + data[1], data
    sec, nsec = stamps[0]
    return sec * 10**9 + nsec, data[2:]


class Contacts(unittest.TestCase):
    def setUp(self):
        self.program = zvprocess.Program()
        self.addCleanup(self.end_program)

    def end_program(self):
        if self.program.proc:
            self.program.cleanup()
        else:
            shutil.rmtree(self.program.dir, ignore_errors=True)

    def path(self):
        return os.path.join(self.program.dir, "contacts.json")

    def stored(self):
        with open(self.path(), "rb") as f:
            return f.read()

    def wait_stored(self, data, timeout=5):
        end = time.monotonic() + timeout
        while self.stored() != data and time.monotonic() < end:
            time.sleep(0.05)
        self.assertEqual(self.stored(), data)

    def page(self, path):
        ws = zvprocess.WebSocket(self.program.port(), path)
        self.addCleanup(ws.close)
        self.assertEqual(ws.status, 101)
        return ws

    def test_add_delete_and_the_stored_bytes(self):
        self.program.start()
        contacts = self.page("/ws_contacts")
        calls = self.page("/ws_calls")
        # The kernel turns receive times on a moment after the first socket
        # of the machine asks for them: until then packets come without.
        for ws in (contacts, calls):
            ws.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        time.sleep(0.2)
        self.assertEqual(contacts.recv(), b"{}")
        self.assertEqual(calls.recv(), b"{}")

        # The contacts object goes out before the calls object.
        contacts.send('{"command":"addcontact","name":"Al","sip":"a@h"}')
        t_contacts, first = arrival(contacts)
        t_calls, calls_push = arrival(calls)
        self.assertEqual(first, b'{"0":{"name":"Al","sip":"a@h"}}')
        self.assertEqual(calls_push, b"{}")
        self.assertLess(t_contacts, t_calls)

        name = "N" * 60
        contacts.send(json.dumps({"command": "addcontact", "name": name, "sip": "a@h",
                                  "label": "x/y", "n": 3, "o": {"k": "v"}}))
        contacts.recv(), calls.recv()
        contacts.send(json.dumps({"command": "addcontact", "name": "Blocked",
                                  "sip": "b@127.0.0.1>;access=block;x="}))
        pushed = contacts.recv()
        calls.recv()
        stored = ('{"0":{"name":"Al","sip":"a@h"},'
                  '"1":{"name":"%s","sip":"a@h","label":"x\\/y"},'
                  '"2":{"name":"Blocked","sip":"b@127.0.0.1>;access=block;x="}}' % name).encode()
        self.assertEqual(pushed, stored)
        self.wait_stored(stored)

        # Only the first of two records with the same address goes.
        contacts.send('{"command":"deletecontact","sip":"a@h"}')
        after = ('{"1":{"name":"%s","sip":"a@h","label":"x\\/y"},'
                 '"2":{"name":"Blocked","sip":"b@127.0.0.1>;access=block;x="}}' % name).encode()
        self.assertEqual(contacts.recv(), after)
        self.assertTrue(calls.no_message(0.3))
        self.wait_stored(after)

        # Ignored: no "sip", an unknown command, a message that is no object.
        contacts.send('{"command":"deletecontact"}')
        contacts.send('{"command":"addcontacts","name":"x","sip":"y"}')
        contacts.send('["addcontact"]')
        self.assertTrue(contacts.no_message())

        # A new page gets the contacts; the next start loads them.
        self.assertEqual(self.page("/ws_contacts").recv(), after)
        self.assertEqual(contacts.recv(), after)
        self.program.stop()
        self.assertEqual(self.stored(), after)
        os.remove(self.program.opened)
        again = zvprocess.Program(conf_dir=self.program.dir).start()
        self.addCleanup(again.cleanup)
        ws = zvprocess.WebSocket(again.port(), "/ws_contacts")
        self.addCleanup(ws.close)
        self.assertEqual(ws.recv(), after)
        self.assertNotIn("contact: decode error", again.output())

    def test_a_contact_past_the_100th_is_neither_stored_nor_entered(self):
        full = {str(i): {"name": "C%d" % i, "sip": "c%d@h" % i} for i in range(100)}
        data = json.dumps(full, separators=(",", ":")).encode()
        with open(self.path(), "wb") as f:
            f.write(data)
        self.program.start()
        contacts = self.page("/ws_contacts")
        self.assertEqual(contacts.recv(), data)
        # An address that the library cannot read: it tells when it is given one.
        contacts.send('{"command":"addcontact","name":"Extra","sip":""}')
        self.assertEqual(contacts.recv(), data)
        self.program.wait_for("webapp: no free record number")
        self.program.stop()
        self.assertNotIn("contact: decode error", self.program.output())
        self.assertEqual(self.stored(), data)

    def test_damaged_file_is_left_alone(self):
        damaged = b'{"0":{"name":"A","sip":"a@h"}'
        with open(self.path(), "wb") as f:
            f.write(damaged)
        self.program.start()
        contacts = self.page("/ws_contacts")
        calls = self.page("/ws_calls")
        self.assertEqual(contacts.recv(), b"")
        calls.recv()
        contacts.send('{"command":"addcontact","name":"New","sip":"n@h"}')
        self.assertEqual(contacts.recv(), b"")
        self.assertEqual(calls.recv(), b"{}")
        contacts.send('{"command":"deletecontact","sip":"a@h"}')
        self.assertEqual(contacts.recv(), b"")
        self.program.stop()
        self.assertEqual(self.stored(), damaged)
        self.assertIn("webapp/contact: %s cannot be used (" % self.path(), self.program.output())

    def test_empty_file_loads_as_no_contacts(self):
        with open(self.path(), "wb"):
            pass
        self.program.start()
        contacts = self.page("/ws_contacts")
        self.assertEqual(contacts.recv(), b"{}")
        self.program.stop()
        self.assertEqual(self.stored(), b"{}")


if __name__ == "__main__":
    unittest.main()
