"""Single instance: a second start hands over to the running program.

Runs the built program with a private home and runtime folder, and without
a session bus: the guard and the port query do not depend on the desktop.
"""
import os
import signal
import time
import unittest

from sandbox import Sandbox


class SingleInstance(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.close)

    def stop(self, proc):
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(30), 0, self.box.output(proc))

    def assert_wrote_nothing(self, second, config_before):
        box = self.box
        # Only the banner: no configuration, no log, no module ran.
        self.assertEqual(box.output(second).splitlines()[:1], box.output(second).splitlines())
        self.assertTrue(box.output(second).startswith("Zorvane v"))
        self.assertEqual(os.stat(os.path.join(box.config_dir, "config")).st_mtime_ns, config_before)
        self.assertFalse(os.path.exists(os.path.join(box.config_dir, "logs", "zorvane.1.log")))

    def test_second_start_opens_the_first_ones_page(self):
        box = self.box
        box.write_port(8123)
        first = box.start(bus=False, name="first")
        box.wait_ready(first)
        self.assertEqual(box.query_port(), b"8123\n")

        config_before = os.stat(os.path.join(box.config_dir, "config")).st_mtime_ns
        began = time.monotonic()
        second = box.run(bus=False, name="second")
        took = time.monotonic() - began

        self.assertEqual(second.returncode, 0, box.output(second))
        self.assertLess(took, 3.0)
        self.assertEqual(box.opened("second"), ["http://127.0.0.1:8123/"])
        self.assert_wrote_nothing(second, config_before)
        self.stop(first)

    def test_unknown_port_waits_out_the_tries_and_opens_nothing(self):
        box = self.box
        box.write_no_port()
        first = box.start(bus=False, name="first")
        box.wait_ready(first)
        self.assertEqual(box.query_port(), b"0\n")

        config_before = os.stat(os.path.join(box.config_dir, "config")).st_mtime_ns
        began = time.monotonic()
        second = box.run(bus=False, name="second")
        took = time.monotonic() - began
        self.assertEqual(second.returncode, 0, box.output(second))
        # 50 tries 100 ms apart.
        self.assertGreater(took, 4.5)
        self.assertLess(took, 20)
        self.assertEqual(box.opened("second"), [])
        self.assert_wrote_nothing(second, config_before)
        self.stop(first)

    def test_f_instance_runs_beside_and_does_not_answer(self):
        box = self.box
        box.write_port(8123)
        first = box.start(bus=False, name="first")
        box.wait_ready(first)

        other_dir = os.path.join(box.root, "other")
        box.write_port(9000, other_dir)
        beside = box.start("-f", other_dir, bus=False, name="beside")
        box.wait_ready(beside)
        # The -f instance neither takes nor serves the guard.
        self.assertEqual(box.query_port(), b"8123\n")
        self.stop(beside)
        self.assertEqual(box.query_port(), b"8123\n")
        self.stop(first)

    def test_start_after_the_first_was_killed_runs_as_first(self):
        box = self.box
        box.write_port(8123)
        first = box.start(bus=False, name="first")
        box.wait_ready(first)
        first.kill()
        first.wait()
        # The killed one's socket is still there, the lock is not.
        self.assertTrue(os.path.exists(box.socket_path))

        box.write_port(8124)
        successor = box.start(bus=False, name="successor")
        box.wait_ready(successor)
        self.assertEqual(box.query_port(), b"8124\n")
        third = box.run(bus=False, name="third")
        self.assertEqual(third.returncode, 0)
        self.assertEqual(box.opened("third"), ["http://127.0.0.1:8124/"])

        self.stop(successor)
        self.assertFalse(os.path.exists(box.socket_path))

    def test_refused_runtime_folder_runs_unguarded(self):
        box = self.box
        os.makedirs(os.path.join(box.runtime, "zorvane"), mode=0o755)
        os.chmod(os.path.join(box.runtime, "zorvane"), 0o755)
        box.write_port(8123)
        first = box.start(bus=False, name="first")
        box.wait_ready(first)
        self.assertIn("no single-instance lock", box.output(first))
        self.assertFalse(os.path.exists(box.socket_path))
        self.stop(first)


if __name__ == "__main__":
    unittest.main()
