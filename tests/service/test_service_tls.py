"""qelscaled over TLS against the real service and the virtual scale: the weight over https,
the stream over wss, a plain-http client on the TLS port, and the options refused at start."""
import http.client
import os
import shutil
import signal
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


def make_certificate(directory, name, rsa=False):
    """A self-signed certificate for 127.0.0.1 and localhost, and its key."""
    cert = os.path.join(directory, name + ".pem")
    key = os.path.join(directory, name + ".key")
    kind = ["rsa:2048"] if rsa else ["ec", "-pkeyopt", "ec_paramgen_curve:P-256"]
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", *kind,
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
        # The page reads through the package served beside it, which follows the scheme.
        self.assertIn(b'<script src="/qelscale.js">', page)
        status, _, script = service.request("/qelscale.js")
        self.assertEqual(status, 200)
        self.assertIn(b'"wss:"', script)

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
        writable_key = os.path.join(self.dir.name, "writable-key.pem")
        shutil.copy(self.key, writable_key)
        os.chmod(writable_key, 0o620)
        cases = [
            (["--tls-cert", self.cert], "--tls-key"),
            (["--tls-key", self.key], "--tls-cert"),
            (["--tls-cert", missing, "--tls-key", self.key], "--tls-cert " + missing),
            (["--tls-cert", self.cert, "--tls-key", other_key], "--tls-key " + other_key),
            (["--tls-cert", self.cert, "--tls-key", cert_as_key], "--tls-key " + cert_as_key),
            (["--tls-cert", self.cert, "--tls-key", exposed_key],
             "--tls-key: %s is readable by group or others" % exposed_key),
            (["--tls-cert", self.cert, "--tls-key", writable_key],
             "--tls-key: %s is writable by group or others (mode 0620)" % writable_key),
        ]
        for args, named in cases:
            with self.subTest(args=args):
                run = subprocess.run([QELSCALED, "--port", "COM3", "--listen", "127.0.0.1:0",
                                      *args], capture_output=True, timeout=10)
                self.assertEqual(run.returncode, 2)
                self.assertEqual(run.stdout, b"")
                self.assertIn(named, run.stderr.decode())


def s_client(port, *args):
    """openssl s_client's handshake with the service: (whether it completed, the cipher)."""
    run = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port, *args],
                         stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
    out = run.stdout.decode(errors="replace")
    cipher = None
    for line in out.splitlines():
        if ", Cipher is " in line:
            cipher = line.split(", Cipher is ")[1].strip()
    return run.returncode == 0 and cipher not in (None, "(NONE)"), cipher


def peer_certificate(port):
    """The certificate a new connection is shown, in DER."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
        with context.wrap_socket(raw) as tls:
            return tls.getpeercert(binary_form=True)


def der(cert_path):
    with open(cert_path) as f:
        return ssl.PEM_cert_to_DER_cert(f.read())


class TlsProfileTest(unittest.TestCase):
    """TLS 1.3, or 1.2 with forward secrecy and an AEAD cipher; SIGHUP loads the pair again."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        # RSA: the key a static-RSA suite would need, so only the cipher list can refuse it.
        self.cert, self.key = make_certificate(self.dir.name, "rsa", rsa=True)
        self.client = ssl.create_default_context(cafile=self.cert)

    def test_only_forward_secret_aead_suites(self):
        service = Service("--port", "COM3", "--tls-cert", self.cert, "--tls-key", self.key,
                          tls=self.client)
        self.addCleanup(service.close)
        for cipher in ("ECDHE-RSA-AES128-GCM-SHA256", "ECDHE-RSA-AES256-GCM-SHA384",
                       "ECDHE-RSA-CHACHA20-POLY1305"):
            self.assertEqual(s_client(service.port, "-tls1_2", "-cipher", cipher),
                             (True, cipher))
        for cipher in ("AES128-SHA", "AES128-GCM-SHA256", "AES256-SHA256",
                       "ECDHE-RSA-AES128-SHA", "ECDHE-RSA-AES256-SHA384"):
            with self.subTest(cipher=cipher):
                self.assertFalse(s_client(service.port, "-tls1_2", "-cipher", cipher)[0])
        self.assertFalse(s_client(service.port, "-tls1_1", "-cipher", "ALL:@SECLEVEL=0")[0])
        done, cipher = s_client(service.port, "-tls1_3")
        self.assertTrue(done)
        self.assertTrue(cipher.startswith("TLS_"), cipher)
        # A client's "R" asks for a renegotiation: refused, which ends that connection.
        client = subprocess.Popen(["openssl", "s_client", "-connect",
                                   "127.0.0.1:%d" % service.port, "-tls1_2"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT)
        client.stdin.write(b"R\n")
        client.stdin.flush()
        out, _ = client.communicate(timeout=20)
        self.assertIn(b"RENEGOTIATING", out)
        self.assertIn(b"no renegotiation", out)
        self.assertNotEqual(client.returncode, 0)

    def test_sighup_loads_the_pair_again_and_a_bad_pair_keeps_the_old(self):
        # The files the service is started with, rewritten in place as a renewal does.
        cert = os.path.join(self.dir.name, "live.pem")
        key = os.path.join(self.dir.name, "live.key")
        new_cert, new_key = make_certificate(self.dir.name, "new")
        other_cert, _ = make_certificate(self.dir.name, "other")

        def install(cert_from, key_from):
            shutil.copy(cert_from, cert)
            shutil.copy(key_from, key)
            os.chmod(key, 0o600)

        install(self.cert, self.key)
        service = Service("--port", "COM3", "--tls-cert", cert, "--tls-key", key,
                          tls=self.client)
        self.addCleanup(service.close)
        self.assertEqual(peer_certificate(service.port), der(self.cert))
        # A kept-alive connection, open across both reloads.
        context = ssl.create_default_context(cafile=self.cert)
        raw = socket.create_connection(("127.0.0.1", service.port), timeout=10)
        kept = context.wrap_socket(raw, server_hostname="localhost")
        self.addCleanup(kept.close)
        self.assertEqual(ports_status(kept), 200)

        def reloaded(text, count):
            os.kill(service.process.pid, signal.SIGHUP)
            self.assertTrue(wait_until(lambda: service.log().count(text) == count),
                            service.log())

        install(new_cert, new_key)
        reloaded("SIGHUP: certificate and key loaded again", 1)
        self.assertEqual(peer_certificate(service.port), der(new_cert))
        self.assertEqual(ports_status(kept), 200)
        # A certificate whose key is not the one beside it: the pair in use stays.
        shutil.copy(other_cert, cert)
        reloaded("still serving the certificate loaded before", 1)
        self.assertIn("--tls-key " + key, service.log())
        self.assertEqual(peer_certificate(service.port), der(new_cert))
        # A key others may read is refused as it is at the start.
        install(new_cert, new_key)
        os.chmod(key, 0o644)
        reloaded("still serving the certificate loaded before", 2)
        self.assertIn("is readable by group or others", service.log())
        self.assertEqual(ports_status(kept), 200)
        self.assertIsNone(service.process.poll())

    def test_without_tls_sighup_ends_the_run_as_before(self):
        service = Service("--port", "COM3")
        self.addCleanup(service.close)
        os.kill(service.process.pid, signal.SIGHUP)
        self.assertEqual(service.process.wait(timeout=10), -signal.SIGHUP)


def ports_status(tls_socket):
    """GET /v1/ports on an open connection that stays open; the status."""
    tls_socket.sendall(b"GET /v1/ports HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    response = http.client.HTTPResponse(tls_socket)
    response.begin()
    response.read()
    return response.status


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
