"""qelscaled reading scales of every protocol on the virtual scale: the reading's protocol
fields, the scale's own stability and errors, zero and tare with each of their answers, port
options refused at start, detection, and the same service with a port named without options
answering as it always has."""
import os
import tempfile
import time
import unittest
import urllib.parse

from service_harness import CLI, Service, VirtualScale, wait_until

OWN = {"Origin": None}


def q(name):
    return urllib.parse.quote(name, safe="")


class ProtocolServiceTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def scale(self, protocol, *args, weight="2.500"):
        scale = VirtualScale(self.dir.name, "--protocol", protocol, *args, weight=weight)
        self.addCleanup(scale.close)
        return scale

    def service(self, *args):
        service = Service(*args)
        self.addCleanup(service.close)
        return service

    def reading(self, service, port, predicate, timeout=10):
        """The port's reading once `predicate` holds for it."""
        seen = []

        def check():
            status, body = service.get_json("/v1/weight?port=" + q(port))
            self.assertEqual(status, 200)
            seen.append(body)
            return predicate(body)

        wait_until(check, timeout=timeout)
        return seen[-1] if seen and predicate(seen[-1]) else self.fail("last: %r" % seen[-1:])

    def post(self, service, path, origin=None):
        headers = {"Content-Type": "application/json"}
        if origin:
            headers["Origin"] = origin
        status, _, body = service.request(path, headers=headers, method="POST")
        import json
        return status, json.loads(body) if body else None

    def test_every_protocol_reads_with_its_fields(self):
        expected = {
            # protocol: (unit, net) as the emulated scale reports them
            "toledo-8217": (None, None),
            "toledo-continuous": ("kg", False),
            "mt-sics": ("kg", None),
            "ad": ("kg", None),
            "cas": ("kg", False),
            "sma": ("kg", False),
            "nci": ("kg", False),
            "cas-ecr": ("kg", None),
            "magellan": ("kg", None),
        }
        for protocol, (unit, net) in expected.items():
            with self.subTest(protocol=protocol):
                scale = self.scale(protocol)
                service = self.service("--stream", scale.link + "?protocol=" + protocol)
                body = self.reading(service, scale.link, lambda b: b["ok"])
                self.assertEqual(body["port"], scale.link)  # shown without its options
                self.assertEqual(body["protocol"], protocol)
                self.assertEqual(body["value"], 2.5)
                self.assertEqual(body["unit"], unit)
                self.assertEqual(body["net"], net)
                status, ports = service.get_json("/v1/ports")
                entry = ports["ports"][0]
                self.assertEqual(entry["port"], scale.link)
                self.assertEqual(entry["protocol"], protocol)
                self.assertIn(entry["line"], ("9600 7E1", "9600 8N1", "2400 7E1"))
                service.close()
                scale.close()

    def test_the_scales_own_states(self):
        scale = self.scale("mt-sics")
        service = self.service("--stream", scale.link + "?protocol=mt-sics")
        self.reading(service, scale.link, lambda b: b["ok"] and b["stable"])
        scale.command("motion on")
        moving = self.reading(service, scale.link, lambda b: b["ok"] and b["stable"] is False)
        self.assertEqual(moving["value"], 2.5)
        for condition, error in (("overload", "overload"), ("under-zero", "under-zero"),
                                 ("busy", "scale-busy")):
            scale.command("condition " + condition)
            body = self.reading(service, scale.link, lambda b: b.get("error") == error)
            self.assertFalse(body["ok"])
            self.assertIsNone(body["value"])  # never the weight before
            self.assertEqual(body["text"], "0")
        scale.command("condition normal")
        scale.command("motion off")
        self.reading(service, scale.link, lambda b: b["ok"] and b["stable"])

    def test_a_scale_that_withholds_the_weight_while_moving(self):
        scale = self.scale("toledo-8217")
        service = self.service("--stream", scale.link + "?protocol=toledo-8217")
        self.reading(service, scale.link, lambda b: b["ok"])
        scale.command("motion on")
        body = self.reading(service, scale.link, lambda b: not b["ok"])
        self.assertIsNone(body["value"])
        self.assertFalse(body["stable"])

    def test_zero_and_tare_answers(self):
        sma = self.scale("sma")
        cas = self.scale("cas")
        service = self.service("--stream", sma.link + "?protocol=sma",
                               "--port", cas.link + "?protocol=cas")
        self.reading(service, sma.link, lambda b: b["ok"])
        status, body = self.post(service, "/v1/tare?port=" + q(sma.link))
        self.assertEqual((status, body), (200, {"port": sma.link, "command": "tare", "ok": True}))
        net = self.reading(service, sma.link, lambda b: b["ok"] and b["net"] is True)
        self.assertEqual(net["value"], 0)
        status, body = self.post(service, "/v1/zero?port=" + q(sma.link))
        self.assertEqual((status, body["command"]), (200, "zero"))
        sma.command("commands refuse")
        self.assertEqual(self.post(service, "/v1/zero?port=" + q(sma.link)),
                         (502, {"error": "command-refused"}))
        sma.command("commands ignore")
        started = time.monotonic()
        self.assertEqual(self.post(service, "/v1/tare?port=" + q(sma.link)),
                         (504, {"error": "no-answer"}))
        self.assertLess(time.monotonic() - started, 10)
        # A protocol without the command, on a port read on demand.
        self.assertEqual(self.post(service, "/v1/zero?port=" + q(cas.link)),
                         (409, {"error": "not-supported"}))
        # The same rules as every request: a foreign page's form must not zero a scale.
        sma.command("commands ack")
        status, body = self.post(service, "/v1/zero?port=" + q(sma.link),
                                 origin="http://evil.example")
        self.assertEqual((status, body), (403, {"error": "origin-not-allowed"}))
        status, _, _ = service.request("/v1/zero?port=" + q(sma.link))
        self.assertEqual(status, 405)

    def test_nci_zero_is_answered_with_the_status(self):
        nci = self.scale("nci")
        service = self.service("--stream", nci.link + "?protocol=nci")
        self.reading(service, nci.link, lambda b: b["ok"])
        status, body = self.post(service, "/v1/zero?port=" + q(nci.link))
        self.assertEqual((status, body), (200, {"port": nci.link, "command": "zero", "ok": True}))
        self.reading(service, nci.link, lambda b: b["ok"] and b["value"] == 0)
        nci.command("motion on")
        self.assertEqual(self.post(service, "/v1/zero?port=" + q(nci.link)),
                         (502, {"error": "command-refused"}))
        # The NCI standard has no tare command.
        self.assertEqual(self.post(service, "/v1/tare?port=" + q(nci.link)),
                         (409, {"error": "not-supported"}))

    def test_a_port_without_options_answers_as_before(self):
        qel = self.scale("qel")
        service = self.service("--stream", qel.link, "--port", qel.link + "-none")
        body = self.reading(service, qel.link, lambda b: b["ok"])
        self.assertEqual(sorted(body), ["at", "ok", "port", "stable", "text", "value"])
        status, ports = service.get_json("/v1/ports")
        entry = [p for p in ports["ports"] if p["port"] == qel.link][0]
        self.assertNotIn("protocol", entry)
        self.assertEqual(self.post(service, "/v1/zero?port=" + q(qel.link)),
                         (409, {"error": "not-supported"}))

    def test_bad_port_options_stop_the_service_naming_the_option(self):
        import subprocess
        from service_harness import QELSCALED
        for port, named in (("COM3?protocol=nope", "protocol"), ("COM3?baud=fast", "baud"),
                            ("COM3?framing=9N1", "framing"), ("COM3?speed=9600", "speed"),
                            ("COM3?poll_ms=0&protocol=sma", "poll_ms")):
            with self.subTest(port=port):
                done = subprocess.run([QELSCALED, "--stream", port], capture_output=True,
                                      timeout=10)
                self.assertEqual(done.returncode, 2)
                self.assertIn("'%s'" % named, done.stderr.decode())
        done = subprocess.run([QELSCALED, "--stream", "COM3", "--port", "COM3?protocol=cas"],
                              capture_output=True, timeout=10)
        self.assertEqual(done.returncode, 2)
        self.assertIn("given twice", done.stderr.decode())

    def test_auto_detects_and_shows_what_it_found(self):
        scale = self.scale("ad")
        service = self.service("--stream", scale.link + "?protocol=auto")
        body = self.reading(service, scale.link, lambda b: b["ok"], timeout=20)
        self.assertEqual(body["protocol"], "ad")
        status, ports = service.get_json("/v1/ports")
        entry = ports["ports"][0]
        self.assertEqual((entry["protocol"], entry["line"], entry["detect"]),
                         ("ad", "2400 7E1", True))
        self.assertIn("ad at 2400 7E1", service.log())

    def test_auto_finds_the_new_polled_protocols(self):
        # Their scales answer the other protocols' requests too ("?"): still one protocol.
        for protocol, line in (("nci", "9600 7E1"), ("cas-ecr", "9600 8N1"),
                               ("magellan", "9600 7E1")):
            with self.subTest(protocol=protocol):
                scale = self.scale(protocol)
                service = self.service("--stream", scale.link + "?protocol=auto")
                body = self.reading(service, scale.link, lambda b: b["ok"], timeout=20)
                self.assertEqual((body["protocol"], body["value"]), (protocol, 2.5))
                status, ports = service.get_json("/v1/ports")
                self.assertEqual(ports["ports"][0]["line"], line)
                service.close()
                scale.close()


if __name__ == "__main__":
    unittest.main()
