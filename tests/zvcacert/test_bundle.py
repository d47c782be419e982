"""The bundle generator on a folder of roots made here: a root that has
expired is left out, the others and the extra certificates go in, and the
header names the Debian package version the roots came from."""

import os
import shutil
import subprocess
import tempfile
import unittest

GENERATOR = os.environ["ZV_GEN_BUNDLE"]


def run(*args, cwd):
    subprocess.run(args, cwd=cwd, check=True, capture_output=True)


def root(folder, name, start=None, end=None):
    """A self-signed root named name, valid from start to end (openssl's
    YYYYMMDDHHMMSSZ) or for a year from now; its file is NAME.crt."""
    key, csr, crt = (os.path.join(folder, name + ext) for ext in (".key", ".csr", ".crt"))
    run("openssl", "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
        "-nodes", "-keyout", key, "-subj", "/CN=" + name.replace("_", " "), "-out", csr,
        cwd=folder)
    if start:
        ca = os.path.join(folder, "ca")
        os.makedirs(ca, exist_ok=True)
        open(os.path.join(ca, "index.txt"), "w").close()
        with open(os.path.join(ca, "serial"), "w") as f:
            f.write("01\n")
        with open(os.path.join(ca, "ca.cnf"), "w") as f:
            f.write("[ca]\ndefault_ca = d\n[d]\ndatabase = index.txt\nnew_certs_dir = .\n"
                    "serial = serial\ndefault_md = sha256\npolicy = p\n[p]\n"
                    "commonName = supplied\n")
        run("openssl", "ca", "-batch", "-config", "ca.cnf", "-selfsign", "-keyfile", key, "-in",
            csr, "-startdate", start, "-enddate", end, "-out", crt, cwd=ca)
    else:
        run("openssl", "x509", "-req", "-in", csr, "-signkey", key, "-days", "365", "-out", crt,
            cwd=folder)
    os.remove(key)
    os.remove(csr)
    return crt


class Generator(unittest.TestCase):
    def test_expired_roots_are_left_out(self):
        work = tempfile.mkdtemp(prefix="zvcacert-")
        self.addCleanup(shutil.rmtree, work, True)
        roots = os.path.join(work, "roots")
        os.makedirs(roots)
        root(roots, "Current_Root")
        root(roots, "Expired_Root", "20200101000000Z", "20210101000000Z")
        shutil.rmtree(os.path.join(roots, "ca"))
        extra = root(work, "Extra_Root")
        out = os.path.join(work, "bundle.pem")
        run("bash", GENERATOR, out, roots, extra, cwd=work)
        with open(out) as f:
            bundle = f.read()
        self.assertIn("\nCurrent Root\n============\n## SHA-256 Fingerprint: ", bundle)
        self.assertIn("\nExtra Root\n==========\n", bundle)
        self.assertNotIn("Expired Root", bundle)
        self.assertEqual(bundle.count("-----BEGIN CERTIFICATE-----"), 2)
        version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "ca-certificates"],
                                 capture_output=True, text=True, check=True).stdout
        self.assertIn("Debian's ca-certificates\n## package %s ships them" % version, bundle)


if __name__ == "__main__":
    unittest.main()
