"""The rotating file log of the built program."""

import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
import zvtest  # noqa: E402

STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"
START_LINES = [
    r"INFO  zvlogging: started \(.*/logs\)",
    r"INFO  zvlogging: Version v26\.11\.0-stable \(baresip 1\.1\.0\)",
    r"INFO  zvlogging: Machine x86_64/linux",
    r"INFO  zvlogging: Kernel Linux .+",
    r"INFO  zvlogging: Build 64-bit little endian",
    r"INFO  zvlogging: Network --- Network debug ---",
]


class FileLog(unittest.TestCase):
    def setUp(self):
        self.box = zvtest.Sandbox()
        self.cfg = self.box.path("cfg")
        self.logs = os.path.join(self.cfg, "logs")

    def tearDown(self):
        self.box.cleanup()

    def log_name(self, n):
        return os.path.join(self.logs, "zorvane.%d.log" % n)

    def test_eight_starts_keep_seven_files_in_order(self):
        for run in range(1, 9):
            code, out, err = zvtest.run(self.box, ["-f", self.cfg, "-t", "1"])
            self.assertEqual(code, 0, err)
            with open(self.log_name(0), "a") as f:
                f.write("#run %d\n" % run)
        self.assertEqual(sorted(os.listdir(self.logs)),
                         ["zorvane.%d.log" % n for n in range(7)])
        for n in range(7):
            with open(self.log_name(n)) as f:
                self.assertTrue(f.read().endswith("#run %d\n" % (8 - n)), n)

    def test_start_lines_and_line_format(self):
        code, out, err = zvtest.run(self.box, ["-f", self.cfg, "-t", "1"])
        self.assertEqual(code, 0, err)
        with open(self.log_name(0)) as f:
            lines = f.read().splitlines()
        for line, pattern in zip(lines, START_LINES):
            self.assertRegex(line, "^" + STAMP + " " + pattern + "$")
        self.assertTrue(any(re.match(STAMP + r" INFO  zorvane is ready\.$", l) for l in lines))
        # The event library's own channel and lines after the application
        # modules were unloaded stay out of the file.
        self.assertFalse(any("zvcacert:" in l for l in lines))
        self.assertIn("ua: stop all", "\n".join(lines))

    def test_second_process_on_the_same_directory_runs_without_file_log(self):
        first = zvtest.start(self.box, ["-f", self.cfg])
        try:
            self.assertTrue(zvtest.wait_until_running(self.log_name(0)))
            code, out, err = zvtest.run(self.box, ["-f", self.cfg, "-t", "1"])
            self.assertEqual(code, 0, err)
            self.assertRegex(out, r"zvlogging: open .*zorvane\.0\.log failed \(Permission denied \[13\]\)")
            self.assertIn("zorvane is ready.", out)
            self.assertFalse(os.path.exists(self.log_name(1)))
            with open(self.log_name(0)) as f:
                self.assertRegex(f.readline(), "^" + STAMP + " " + START_LINES[0])
        finally:
            zvtest.send_signal(first)
            first.communicate(timeout=30)
        self.assertEqual(first.returncode, 0)
        with open(self.log_name(0)) as f:
            self.assertIn("terminated by signal 15", f.read())

    def test_logs_folder_in_the_way_leaves_program_running(self):
        os.makedirs(self.cfg)
        with open(self.logs, "w") as f:
            f.write("not a folder")
        code, out, err = zvtest.run(self.box, ["-f", self.cfg, "-t", "1"])
        self.assertEqual(code, 0, err)
        self.assertIn("zvlogging: mkdir %s failed (" % self.logs, out)
        self.assertIn("module zvlogging.so: ", out)
        self.assertIn("zorvane is ready.", out)


if __name__ == "__main__":
    unittest.main()
