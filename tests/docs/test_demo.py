"""scripts/demo as a newcomer runs it, on the programs of the build under test
(QEL_DEMO_BUILD_DIR: no set-up, no build): a virtual scale speaking a protocol, a port given
with options, and the non-zero exit when the service's reading is no weight. The address it
prints must serve that reading, and nothing it started may outlive it.

QEL_BUILD_DIR names the build; QEL_VIRTUAL_SCALE the virtual scale for ports the test makes.
"""
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(__file__))
from process_group import run_alone  # noqa: E402

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("QEL_BUILD_DIR", "")
VIRTUAL_SCALE = os.environ.get("QEL_VIRTUAL_SCALE", "")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Demo(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.scales = []

    def tearDown(self):
        for scale in self.scales:
            scale.terminate()
            scale.wait(timeout=5)
            scale.stdout.close()
        self.folder.cleanup()

    def scale(self, protocol):
        """A virtual scale speaking `protocol`, reached through a path of the test's."""
        link = os.path.join(self.folder.name, "scale-" + protocol)
        process = subprocess.Popen([VIRTUAL_SCALE, "--protocol", protocol, "--symlink", link],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        process.stdout.readline()  # the slave's path: the link exists from here on
        self.scales.append(process)
        return link

    def demo(self, *args, **env):
        environment = {**os.environ, "QEL_DEMO_BUILD_DIR": BUILD,
                       "QEL_DEMO_HTTP_PORT": str(free_port()), "QEL_DEMO_READ_SECONDS": "3",
                       "QEL_DEMO_SERVICE_SECONDS": "0", **env}
        status, output, leftovers = run_alone([os.path.join(SOURCE, "scripts", "demo"), *args],
                                              timeout=90, env=environment)
        self.assertIsNotNone(status, "timed out:\n" + output)
        self.assertEqual(leftovers, [], "left running:\n" + output)
        return status, output

    def served(self, output):
        """The port named in the printed address, and the reading printed after it."""
        address = re.search(r"open (http://\S+/)\?port=(\S+) in a browser", output)
        self.assertIsNotNone(address, output)
        readings = [json.loads(line) for line in output.splitlines() if line.startswith("{")]
        self.assertEqual(len(readings), 1, output)
        return urllib.parse.unquote(address.group(2)), readings[0]

    def assert_weight(self, output, protocol):
        port, reading = self.served(output)
        self.assertNotIn("?", port, "the address must name the port without its options")
        self.assertEqual(reading["port"], port, output)
        self.assertIs(reading["ok"], True, output)
        self.assertEqual(reading["value"], 1.234, output)
        self.assertEqual(reading["protocol"], protocol, output)

    def test_the_virtual_scale_in_a_protocol(self):
        status, output = self.demo(QEL_DEMO_PROTOCOL="mt-sics")
        self.assertEqual(status, 0, output)
        self.assert_weight(output, "mt-sics")
        self.assertIn("-> OK!", output)  # the command line's probe read it too

    def test_a_port_given_with_options(self):
        link = self.scale("cas")
        status, output = self.demo(link + "?protocol=cas")
        self.assertEqual(status, 0, output)
        self.assert_weight(output, "cas")

    def test_a_wrong_protocol_fails(self):
        link = self.scale("cas")
        status, output = self.demo(link + "?protocol=mt-sics")
        self.assertNotEqual(status, 0, output)
        port, reading = self.served(output)
        self.assertEqual(port, link)
        self.assertIs(reading["ok"], False, output)
        self.assertEqual(reading["error"], "no-reading", output)

    def test_an_absent_port_fails(self):
        absent = os.path.join(self.folder.name, "absent")
        status, output = self.demo(absent + "?protocol=cas")
        self.assertNotEqual(status, 0, output)
        _, reading = self.served(output)
        self.assertEqual(reading["error"], "port-unavailable", output)


if __name__ == "__main__":
    if not BUILD or not VIRTUAL_SCALE:
        sys.exit("QEL_BUILD_DIR and QEL_VIRTUAL_SCALE must be set")
    unittest.main()
