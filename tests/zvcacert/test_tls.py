"""A real TLS handshake with openssl's test server: the HTTP client trusts
the bundle it was built with, and nothing else."""

import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

CA_PEM = os.environ["ZV_TESTCA_PEM"]
CA_KEY = os.environ["ZV_TESTCA_KEY"]
FETCH_TESTCA = os.environ["ZV_FETCH_TESTCA"]
FETCH_ROOTS = os.environ["ZV_FETCH_ROOTS"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Handshake(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="zvtls-")
        key, csr, crt = (os.path.join(cls.dir, n) for n in ("leaf.key", "leaf.csr", "leaf.pem"))
        ext = os.path.join(cls.dir, "ext.cnf")
        with open(ext, "w") as f:
            f.write("subjectAltName=IP:127.0.0.1\n")
        subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                        "-keyout", key, "-out", csr], check=True, capture_output=True)
        subprocess.run(["openssl", "x509", "-req", "-in", csr, "-CA", CA_PEM, "-CAkey", CA_KEY,
                        "-CAcreateserial", "-days", "2", "-extfile", ext, "-out", crt],
                       check=True, capture_output=True)
        cls.port = free_port()
        cls.server = subprocess.Popen(
            ["openssl", "s_server", "-accept", "127.0.0.1:%d" % cls.port, "-cert", crt, "-key", key,
             "-www", "-quiet"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", cls.port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)

    @classmethod
    def tearDownClass(cls):
        cls.server.kill()
        cls.server.wait()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def fetch(self, program):
        return subprocess.run([program, "https://127.0.0.1:%d/" % self.port],
                              capture_output=True, text=True, timeout=30)

    def test_trusted_with_the_test_ca_in_the_bundle(self):
        r = self.fetch(FETCH_TESTCA)
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_refused_with_only_the_public_roots(self):
        r = self.fetch(FETCH_ROOTS)
        self.assertEqual(r.returncode, 2, r.stderr)


if __name__ == "__main__":
    unittest.main()
