"""qelscaled over TLS against the real service and the virtual scale: the weight over https,
the stream over wss, a plain-http client on the TLS port, and the options refused at start."""
import os
import shutil
import socket
import ssl
import subprocess
import tempfile
import time
import unittest
import urllib.parse

import test_service_api as plain
from service_harness import QELSCALED, HandshakeRefused, Service, VirtualScale, wait_until


def q(name):
    return urllib.parse.quote(name, safe="")


def make_certificate(directory, name):
    """A self-signed certificate for 127.0.0.1 and localhost, and its key."""
    cert = os.path.join(directory, name + ".pem")
    key = os.path.join(directory, name + ".key")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
         "-nodes", "-days", "2", "-subj", "/CN=localhost", "-keyout", key, "-out", cert,
         "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.chmod(key, 0o600)
    return cert, key


class TlsTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.cert, self.key = make_certificate(self.dir.name, "server")
        # The client trusts exactly this certificate and checks the name in it.
        self.client = ssl.create_default_context(cafile=self.cert)

    def scale(self, **kwargs):
        scale = VirtualScale(self.dir.name, **kwargs)
        self.addCleanup(scale.close)
        return scale

    def service(self, *args):
        service = Service("--tls-cert", self.cert, "--tls-key", self.key, *args, tls=self.client)
        self.addCleanup(service.close)
        return service

    def test_weight_and_page_over_https(self):
        scale = self.scale(weight="2.25")
        service = self.service("--port", scale.link)
        self.assertTrue(service.base.startswith("https://127.0.0.1:"))
        status, reading = service.get_json("/v1/weight?port=" + q(scale.link))
        self.assertEqual((status, reading["ok"], reading["value"]), (200, True, 2.25))
        status, _, page = service.request("/")
        self.assertEqual(status, 200)
        self.assertIn(b'"wss://"', page)  # the page's own script follows the scheme

    def test_stream_over_wss_for_the_page_and_for_others(self):
        scale = self.scale(weight="1.25")
        service = self.service("--stream", scale.link, "--stable-ms", "200")
        path = "/v1/stream?port=" + q(scale.link)
        # The page served over https is the service's own origin; its plain twin is not.
        own = service.websocket(path, headers={"Origin": "https://" + service.hostport})
        self.addCleanup(own.close)
        plain = service.websocket(path)
        self.addCleanup(plain.close)
        with self.assertRaises(HandshakeRefused) as refused:
            service.websocket(path, headers={"Origin": "http://" + service.hostport})
        self.assertEqual(refused.exception.status, 403)
        for ws in (own, plain):
            ws.receive_until(lambda m: m["ok"] and m["value"] == 1.25 and m["stable"])
        scale.command("weight 6.5")
        for ws in (own, plain):
            ws.receive_until(lambda m: m["value"] == 6.5 and m["stable"])
        # A client that leaves frees its connection: the TLS close must not hold it.
        plain.close()
        websockets = 'qelscaled_clients{kind="websocket"}'
        wait_until(lambda: metric(service, websockets) == 1)
        self.assertEqual(metric(service, websockets), 1)

    def test_plain_http_on_the_tls_port_is_cut_and_the_service_keeps_serving(self):
        scale = self.scale(weight="3.5")
        service = self.service("--port", scale.link)
        for request in (b"GET /v1/ports HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", b"\x16\x03\x01\x00"):
            with socket.create_connection(("127.0.0.1", service.port), timeout=5) as raw:
                raw.sendall(request)
                raw.shutdown(socket.SHUT_WR)
                answer = b""
                try:
                    while chunk := raw.recv(4096):
                        answer += chunk
                except ConnectionResetError:
                    pass
                self.assertNotIn(b"HTTP/1.1 200", answer)
                self.assertNotIn(b"ports", answer)
        # Both connections are gone: only the one asking for /metrics is left.
        connections = 'qelscaled_clients{kind="connection"}'
        self.assertTrue(wait_until(lambda: metric(service, connections) == 1, timeout=5))
        self.assertEqual(service.get_json("/v1/weight?port=" + q(scale.link))[1]["value"], 3.5)

    def test_a_client_that_never_finishes_the_handshake_is_dropped(self):
        service = self.service("--port", "COM3", "--header-timeout-ms", "300")
        with socket.create_connection(("127.0.0.1", service.port), timeout=5) as silent:
            started = time.monotonic()
            self.assertEqual(silent.recv(16), b"")
            self.assertLess(time.monotonic() - started, 3)

    def test_a_bad_pair_stops_the_start_naming_the_option(self):
        other_cert, other_key = make_certificate(self.dir.name, "other")
        missing = os.path.join(self.dir.name, "missing.pem")
        # The certificate as the key, private to its owner so the loader is what refuses it;
        # and the real key, readable by others.
        cert_as_key = os.path.join(self.dir.name, "cert-as-key.pem")
        shutil.copy(self.cert, cert_as_key)
        os.chmod(cert_as_key, 0o600)
        exposed_key = os.path.join(self.dir.name, "exposed-key.pem")
        shutil.copy(self.key, exposed_key)
        os.chmod(exposed_key, 0o644)
        cases = [
            (["--tls-cert", self.cert], "--tls-key"),
            (["--tls-key", self.key], "--tls-cert"),
            (["--tls-cert", missing, "--tls-key", self.key], "--tls-cert " + missing),
            (["--tls-cert", self.cert, "--tls-key", other_key], "--tls-key " + other_key),
            (["--tls-cert", self.cert, "--tls-key", cert_as_key], "--tls-key " + cert_as_key),
            (["--tls-cert", self.cert, "--tls-key", exposed_key],
             "--tls-key: %s is readable by group or others" % exposed_key),
        ]
        for args, named in cases:
            with self.subTest(args=args):
                run = subprocess.run([QELSCALED, "--port", "COM3", "--listen", "127.0.0.1:0",
                                      *args], capture_output=True, timeout=10)
                self.assertEqual(run.returncode, 2)
                self.assertEqual(run.stdout, b"")
                self.assertIn(named, run.stderr.decode())


class StreamOverTlsTest(plain.StreamTest):
    """Every stream test, over wss: the ordered socket under TLS keeps frames whole and in
    order, drops slow clients, answers pings and closes as it does over plain TCP."""

    def setUp(self):
        super().setUp()
        self.cert, self.key = make_certificate(self.dir.name, "server")
        self.client = ssl.create_default_context(cafile=self.cert)

    def service(self, *args, **kwargs):
        return super().service("--tls-cert", self.cert, "--tls-key", self.key, *args,
                               tls=self.client, **kwargs)


def metric(service, name):
    _, _, body = service.request("/metrics")
    for line in body.decode().splitlines():
        if line.startswith(name + " "):
            return int(float(line.split()[-1]))
    raise AssertionError("no %s in /metrics" % name)


if __name__ == "__main__":
    unittest.main()
