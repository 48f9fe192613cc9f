"""The qelscale command against the virtual scale; driver messages on stderr.

QELSCALE_CLI and QEL_VIRTUAL_SCALE name the programs.
"""
import json
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

    def test_weigh_is_one_cycle_on_the_port_given(self):
        # A scale that hangs up during the first cycle: a probe before the reading would
        # show the read failure, and the reading after it a port that is gone.
        scale = VirtualScale("--mode", "hangup")
        self.addCleanup(scale.close)
        weigh = run("weigh", scale.port)
        self.assertEqual((weigh.returncode, weigh.stdout), (1, "0\n"))
        self.assertEqual(weigh.stderr, "Qel_scale.dll: Ошибка чтения данных из СОМ-порта:5\n")
        absent = run("weigh", "COM99")
        self.assertEqual((absent.returncode, absent.stdout), (1, "0\n"))
        self.assertEqual(absent.stderr, "Qel_weigher: Не могу открыть порт COM99: 2\n")

    def test_weigh_json(self):
        scale = VirtualScale("--weight", "7.125")
        self.addCleanup(scale.close)
        weigh = run("weigh", scale.port, "--json")
        self.assertEqual(weigh.returncode, 0)
        reading = json.loads(weigh.stdout)
        self.assertEqual((reading["port"], reading["text"], reading["value"]),
                         (scale.port, "7.125", 7.125))
        self.assertNotIn("message", reading)

        absent = run("weigh", "COM99", "--json")
        self.assertEqual(absent.returncode, 1)
        reading = json.loads(absent.stdout)
        self.assertEqual((reading["port"], reading["text"], reading["value"], reading["message"]),
                         ("COM99", "0", None, "Не могу открыть порт COM99: 2"))

    def test_a_protocol_weighed_probed_zeroed_and_tared(self):
        scale = VirtualScale("--protocol", "sma", "--weight", "4.5", "--decimals", "2")
        self.addCleanup(scale.close)
        named = scale.port + "?protocol=sma"
        weigh = run("weigh", named, "--json")
        self.assertEqual(weigh.returncode, 0, weigh.stderr)
        reading = json.loads(weigh.stdout)
        self.assertEqual((reading["port"], reading["value"], reading["protocol"], reading["unit"]),
                         (scale.port, 4.5, "sma", "kg"))
        self.assertEqual(run("weigh", named).stdout, "4.50\n")  # the scale's own decimals
        probe = run("probe", scale.port + "?protocol=auto")
        self.assertEqual((probe.returncode, probe.stdout),
                         (0, scale.port + ": protocol=sma 9600 8N1\n"))
        tare = run("tare", named)
        self.assertEqual((tare.returncode, tare.stdout), (0, scale.port + " tare: acknowledged\n"))
        scale.command("commands refuse")
        zero = run("zero", named)
        self.assertEqual((zero.returncode, zero.stdout),
                         (1, scale.port + " zero: command-refused\n"))
        scale.command("commands ignore")
        self.assertEqual(run("zero", named).stdout, scale.port + " zero: no-answer\n")
        cas = run("zero", scale.port + "?protocol=cas")
        self.assertEqual((cas.returncode, cas.stdout), (3, scale.port + " zero: not-supported\n"))

    def test_port_options_refused_by_name(self):
        for port, option in (("COM3?protocol=nope", "protocol"), ("COM3?framing=8X1", "framing"),
                             ("COM3?baud=", "baud"), ("COM3?colour=red", "colour")):
            for command in ("weigh", "watch", "probe", "zero"):
                done = run(command, port)
                self.assertEqual(done.returncode, 2, (command, port))
                self.assertIn("'%s'" % option, done.stderr, (command, port))

    def test_a_wrong_protocol_says_what_the_bytes_are(self):
        scale = VirtualScale("--protocol", "toledo-continuous", "--weight", "2.5")
        self.addCleanup(scale.close)
        for named, suggested in ((scale.port, "?protocol=toledo-continuous"),
                                 (scale.port + "?protocol=cas", "?protocol=toledo-continuous")):
            with self.subTest(port=named):
                weigh = run("weigh", named, "--json")
                self.assertEqual(weigh.returncode, 1)
                reading = json.loads(weigh.stdout)
                self.assertEqual(reading["error"], "no-reading")
                self.assertIn(scale.port + suggested, reading["message"])
                self.assertIn("?protocol=auto", reading["message"])
                self.assertIn(reading["message"], weigh.stderr)  # the text beside the "0"
        # A silent port is only silent: nothing is made up.
        silent = VirtualScale("--mode", "silent")
        self.addCleanup(silent.close)
        reading = json.loads(run("weigh", silent.port, "--json").stdout)
        self.assertEqual((reading["error"], reading["message"]), ("no-reading", None))

    def test_auto_finds_nothing_where_no_scale_speaks(self):
        scale = VirtualScale("--mode", "silent")
        self.addCleanup(scale.close)
        probe = run("probe", scale.port + "?protocol=auto")
        self.assertEqual(probe.returncode, 1)
        self.assertIn("no scale protocol", probe.stdout)

    def test_usage(self):
        self.assertEqual(run("--help").returncode, 0)
        self.assertEqual(run("frobnicate").returncode, 2)
        self.assertEqual(run("weigh", "--count", "0").returncode, 2)
        self.assertEqual(run("ports").returncode, 0)


if __name__ == "__main__":
    unittest.main()
