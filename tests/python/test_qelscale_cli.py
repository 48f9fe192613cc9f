"""The qelscale command against the virtual scale; driver messages on stderr.

QELSCALE_CLI and QEL_VIRTUAL_SCALE name the programs.
"""
import os
import subprocess
import unittest

from test_qel_weigher import VirtualScale

CLI = os.environ["QELSCALE_CLI"]


def run(*args):
    return subprocess.run([CLI, *args], capture_output=True, text=True, timeout=30,
                          env={**os.environ, "LC_ALL": "C"})


class CliTest(unittest.TestCase):
    def test_probe_and_weigh_a_scale(self):
        scale = VirtualScale("--weight", "7.125")
        self.addCleanup(scale.close)
        probe = run("probe", scale.port)
        self.assertEqual((probe.returncode, probe.stdout), (0, scale.port + " -> OK!\n"))
        weigh = run("weigh", scale.port, "--count", "2")
        self.assertEqual((weigh.returncode, weigh.stdout, weigh.stderr), (0, "7.125\n7.125\n", ""))

    def test_failed_probe_exits_1_with_the_message_on_stderr(self):
        probe = run("probe", "COM99")
        self.assertEqual(probe.returncode, 1)
        self.assertEqual(probe.stderr, "Qel_weigher: Не могу открыть порт COM99: 2\n")
        self.assertIn("COM99", probe.stdout)

    def test_usage(self):
        self.assertEqual(run("--help").returncode, 0)
        self.assertEqual(run("frobnicate").returncode, 2)
        self.assertEqual(run("weigh", "--count", "0").returncode, 2)
        self.assertEqual(run("ports").returncode, 0)


if __name__ == "__main__":
    unittest.main()
