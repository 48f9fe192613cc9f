"""qelscaled under hostile input: foreign origins, DNS rebinding, ports and device paths it
was not given, oversized and slow requests, malformed input, floods of connections. After
each, the service still answers and holds no more descriptors than before."""
import base64
import http.client
import json
import os
import socket
import tempfile
import threading
import time
import unittest
import urllib.parse

from service_harness import HandshakeRefused, Service, VirtualScale, wait_until


def q(name):
    return urllib.parse.quote(name, safe="")


class SecurityTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.scale = VirtualScale(cls.dir.name, weight="1.75")
        cls.service = Service("--stream", cls.scale.link, "--stable-ms", "200",
                              "--allow-origin", "http://pos.example:8080",
                              "--allow-host", "scale.lan",
                              "--header-timeout-ms", "1500", "--idle-timeout-ms", "3000",
                              "--max-connections", "300")
        cls.path = "/v1/weight?port=" + q(cls.scale.link)
        assert wait_until(lambda: cls.service.get_json(cls.path)[1]["ok"], timeout=5)
        time.sleep(0.3)
        cls.baseline_fds = cls.service.fd_count()

    @classmethod
    def tearDownClass(cls):
        cls.service.close()
        cls.scale.close()
        cls.dir.cleanup()

    def tearDown(self):
        # Whatever the test did, the service answers and gives its descriptors back.
        status, reading = self.service.get_json(self.path)
        self.assertEqual((status, reading["ok"]), (200, True))
        self.assertTrue(wait_until(lambda: self.service.fd_count() <= self.baseline_fds, 10),
                        "descriptors: %d, baseline %d" % (self.service.fd_count(),
                                                          self.baseline_fds))
        self.assertIsNone(self.service.process.poll())

    def raw(self, data, read=True, timeout=5):
        """Sends raw bytes on a fresh connection; returns what came back before it closed."""
        with socket.create_connection(("127.0.0.1", self.service.port), timeout=timeout) as s:
            s.sendall(data)
            if not read:
                return b""
            received = b""
            try:
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    received += chunk
            except socket.timeout:
                received += b"<timeout>"
            return received

    def test_foreign_origin_is_refused(self):
        for origin in ["http://evil.example", "null", "https://127.0.0.1.evil.example",
                       "http://pos.example:8081"]:
            status, headers, _ = self.service.request(self.path, {"Origin": origin})
            self.assertEqual(status, 403, origin)
            self.assertNotIn("Access-Control-Allow-Origin", headers)
            with self.assertRaises(HandshakeRefused) as refused:
                self.service.websocket("/v1/stream?port=" + q(self.scale.link),
                                       headers={"Origin": origin})
            self.assertEqual(refused.exception.status, 403)

    def test_allowed_origin_and_the_own_page_are_served(self):
        status, headers, _ = self.service.request(self.path, {"Origin": "http://pos.example:8080"})
        self.assertEqual(status, 200)
        self.assertEqual(headers["Access-Control-Allow-Origin"], "http://pos.example:8080")
        self.assertEqual(headers["Vary"], "Origin")
        own = "http://" + self.service.hostport
        status, headers, _ = self.service.request(self.path, {"Origin": own})
        self.assertEqual(status, 200)
        self.assertNotIn("Access-Control-Allow-Origin", headers)
        ws = self.service.websocket("/v1/stream?port=" + q(self.scale.link),
                                    headers={"Origin": own})
        self.assertTrue(ws.receive()["port"])
        ws.close()

    def test_another_sites_request_without_an_origin_starts_nothing(self):
        # An <img> or a no-cors fetch: only Sec-Fetch-Site tells it from a tool's request.
        wait = "/v1/weight?port=%s&stable=1&timeout_ms=60000" % q(self.scale.link)
        for site in ("cross-site", "same-site"):
            for path in (wait, self.path, "/v1/ports", "/metrics"):
                started = time.monotonic()
                status, headers, body = self.service.request(path, {"Sec-Fetch-Site": site})
                self.assertEqual(status, 403, (site, path))
                self.assertIn(b"cross-site-not-allowed", body)
                self.assertLess(time.monotonic() - started, 5, "no stable wait was started")
            # The allowed origin's fetch says same-site too, and is served.
            status, _, _ = self.service.request(
                self.path, {"Sec-Fetch-Site": site, "Origin": "http://pos.example:8080"})
            self.assertEqual(status, 200, site)
            self.assertEqual(self.service.request("/", {"Sec-Fetch-Site": site})[0], 200)
        for site in ("same-origin", "none"):
            self.assertEqual(self.service.request(self.path, {"Sec-Fetch-Site": site})[0], 200)

    def test_preflights_only_for_allowed_origins(self):
        ask = {"Origin": "http://pos.example:8080", "Access-Control-Request-Method": "GET",
               "Access-Control-Request-Headers": "authorization",
               "Access-Control-Request-Private-Network": "true"}
        status, headers, _ = self.service.request(self.path, ask, method="OPTIONS")
        self.assertEqual(status, 204)
        self.assertEqual(headers["Access-Control-Allow-Origin"], "http://pos.example:8080")
        self.assertEqual(headers["Access-Control-Allow-Private-Network"], "true")
        self.assertEqual(headers["Access-Control-Allow-Methods"], "GET")
        foreign = dict(ask, Origin="http://evil.example")
        status, headers, _ = self.service.request(self.path, foreign, method="OPTIONS")
        self.assertEqual(status, 403)
        self.assertNotIn("Access-Control-Allow-Private-Network", headers)
        self.assertNotIn("Access-Control-Allow-Origin", headers)

    def test_rebinding_host_is_refused(self):
        port = self.service.port
        for host in ["evil.example", "evil.example:%d" % port, "127.0.0.1.nip.io:%d" % port,
                     "localhost.evil.example", "user@localhost", "", "0.0.0.0:%d" % port,
                     "[::2]:%d" % port]:
            status, _, _ = self.service.request(self.path, {"Host": host})
            self.assertEqual(status, 403, host)
        for host in ["localhost:%d" % port, "127.0.0.1:%d" % port, "[::1]:%d" % port,
                     "LOCALHOST", "app.localhost", "scale.lan:%d" % port]:
            status, _, _ = self.service.request(self.path, {"Host": host})
            self.assertEqual(status, 200, host)
        # No Host at all (HTTP/1.0) is refused as well.
        self.assertIn(b" 403 ", self.raw(b"GET /v1/ports HTTP/1.0\r\n\r\n"))

    def test_unknown_ports_and_device_paths_are_404(self):
        for name in ["COM1", "/dev/ttyS0", "/etc/passwd", "/dev/null", self.scale.pty,
                     self.scale.link + "/../" + os.path.basename(self.scale.link),
                     self.scale.link + "\x00", " " + self.scale.link, "../../dev/ttyS0"]:
            status, body = self.service.get_json("/v1/weight?port=" + q(name))
            self.assertEqual((status, body), (404, {"error": "unknown-port"}), name)
            with self.assertRaises(HandshakeRefused) as refused:
                self.service.websocket("/v1/stream?port=" + q(name))
            self.assertEqual(refused.exception.status, 404)
        _, ports = self.service.get_json("/v1/ports")
        self.assertEqual([p["port"] for p in ports["ports"]], [self.scale.link])

    def test_oversized_headers_close_the_connection(self):
        big = b"GET /v1/ports HTTP/1.1\r\nHost: localhost\r\nX-Fill: " + b"a" * 20000 + b"\r\n\r\n"
        answer = self.raw(big)
        self.assertNotIn(b"200 OK", answer)
        # Many headers that add up are cut as well.
        many = b"GET /v1/ports HTTP/1.1\r\nHost: localhost\r\n" + b"X-A: bbbbbbbbbbbbbbbb\r\n" * 800
        self.assertNotIn(b"200 OK", self.raw(many + b"\r\n"))

    def test_ambiguous_framing_is_400_and_ends_the_connection(self):
        """A body length read two ways, or a Host, Origin or Authorization given twice, could
        let bytes the service never checked pass as a request of their own."""
        smuggled = b"GET /v1/ports HTTP/1.1\r\nHost: localhost\r\n\r\n"
        for coding in [b"gzip", b"chunked, gzip", b"xchunked", b"gzip, chunked"]:
            answer = self.raw(b"GET /v1/ports HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: "
                              + coding + b"\r\n\r\n0\r\n\r\n" + smuggled)
            self.assertTrue(answer.startswith(b"HTTP/1.1 400 "), (coding, answer[:60]))
            self.assertIn(b'"bad-transfer-encoding"', answer)
            self.assertEqual(answer.count(b"HTTP/1.1 "), 1, coding)  # nothing more served
        head = (b"GET /v1/ports HTTP/1.1\r\nHost: localhost\r\nOrigin: http://pos.example:8080\r\n"
                b"Authorization: Bearer one\r\n")
        self.assertIn(b" 200 ", self.raw(head + b"Connection: close\r\n\r\n"))
        for again in [b"Host: scale.lan", b"host: localhost", b"Origin: http://evil.example",
                      b"Authorization: Bearer two"]:
            answer = self.raw(head + again + b"\r\n\r\n" + smuggled)
            self.assertTrue(answer.startswith(b"HTTP/1.1 400 "), (again, answer[:60]))
            self.assertIn(b'"repeated-header"', answer)
            self.assertEqual(answer.count(b"HTTP/1.1 "), 1, again)
        # A chunked body within the limit is still read as one.
        chunked = (b"GET /v1/ports HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: Chunked\r\n"
                   b"Connection: close\r\n\r\n3\r\nabc\r\n0\r\n\r\n")
        self.assertTrue(self.raw(chunked).startswith(b"HTTP/1.1 200 "))

    def test_a_body_too_big_closes_the_connection(self):
        request = (b"GET /v1/ports HTTP/1.1\r\nHost: localhost\r\nContent-Length: 100000\r\n\r\n"
                   + b"x" * 100000)
        self.assertNotIn(b"200 OK", self.raw(request))

    def test_slow_loris_is_cut_at_the_header_timeout(self):
        with socket.create_connection(("127.0.0.1", self.service.port), timeout=10) as s:
            started = time.monotonic()
            closed_after = None
            for byte in b"GET /v1/ports HTTP/1.1\r\nHost: localhost\r\nX-Slow: " + b"z" * 100:
                try:
                    s.sendall(bytes([byte]))
                    s.settimeout(0.2)
                    if s.recv(1) == b"":
                        closed_after = time.monotonic() - started
                        break
                except socket.timeout:
                    continue
                except OSError:
                    closed_after = time.monotonic() - started
                    break
        self.assertIsNotNone(closed_after)
        self.assertLess(closed_after, 6.0)  # 1.5 s, with room for a loaded machine
        self.assertGreater(closed_after, 1.0)

    def test_a_silent_new_connection_is_closed_at_the_header_timeout(self):
        with socket.create_connection(("127.0.0.1", self.service.port), timeout=10) as s:
            started = time.monotonic()
            self.assertEqual(s.recv(1), b"")
            self.assertLess(time.monotonic() - started, 6.0)

    def test_a_kept_alive_connection_idle_after_a_request_is_closed_at_the_idle_timeout(self):
        with socket.create_connection(("127.0.0.1", self.service.port), timeout=20) as s:
            s.sendall(b"GET /v1/ports HTTP/1.1\r\nHost: localhost\r\n\r\n")
            response = http.client.HTTPResponse(s)
            response.begin()
            response.read()
            self.assertEqual((response.status, response.will_close), (200, False))
            started = time.monotonic()
            self.assertEqual(s.recv(1), b"")
            idle = time.monotonic() - started
        # 3 s: longer than the 1.5-s header timeout, which must not be what closed it, and
        # with room above for a loaded machine.
        self.assertGreater(idle, 2.2)
        self.assertLess(idle, 15.0)

    def test_malformed_http_closes_only_that_connection(self):
        ws = self.service.websocket("/v1/stream?port=" + q(self.scale.link))
        self.addCleanup(ws.close)
        ws.receive()
        for garbage in [b"GARBAGE\r\n\r\n", b"GET / HTTP/9.9\r\n\r\n", b"\x00\xff" * 100,
                        b"GET /v1/ports HTTP/1.1\r\nHost: localhost\r\nContent-Length: -1\r\n\r\n",
                        b"GET /v1/ports HTTP/1.1\r\nBad Header\r\n\r\n",
                        b"GET /v1/ports HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked"
                        b"\r\n\r\nzz\r\n"]:
            self.assertNotIn(b"200 OK", self.raw(garbage))
        self.scale.command("weight 2.5")
        self.assertEqual(ws.receive_until(lambda m: m["value"] == 2.5)["value"], 2.5)
        self.scale.command("weight 1.75")
        ws.close()

    def test_malformed_or_oversized_websocket_input_closes_only_that_client(self):
        keeper = self.service.websocket("/v1/stream?port=" + q(self.scale.link))
        self.addCleanup(keeper.close)
        keeper.receive()
        big = self.service.websocket("/v1/stream?port=" + q(self.scale.link))
        big.receive()
        big.send_frame(0x1, b"x" * 5000)
        self.assertTrue(big.closed_by_peer())
        big.close()
        bad = self.service.websocket("/v1/stream?port=" + q(self.scale.link))
        bad.receive()
        bad.sock.sendall(b"\x8f\x00")  # a reserved opcode, unmasked: a protocol error
        self.assertTrue(bad.closed_by_peer())
        bad.close()
        self.scale.command("weight 3.25")
        self.assertEqual(keeper.receive_until(lambda m: m["value"] == 3.25)["value"], 3.25)
        self.scale.command("weight 1.75")
        keeper.close()

    def test_connection_limit(self):
        held = [socket.create_connection(("127.0.0.1", self.service.port)) for _ in range(300)]
        try:
            time.sleep(0.3)
            extra = socket.create_connection(("127.0.0.1", self.service.port), timeout=5)
            extra.sendall(b"GET /v1/ports HTTP/1.1\r\nHost: localhost\r\n\r\n")
            try:
                self.assertEqual(extra.recv(100), b"")
            except ConnectionResetError:
                pass
            extra.close()
        finally:
            for s in held:
                s.close()
            # The limit holds until the service has seen those closes; the check after the
            # test must not race them.
            wait_until(lambda: self.service.fd_count() <= self.baseline_fds, 10)

    def test_a_thousand_quick_connects_and_disconnects(self):
        payloads = [b"", b"GET /v1/ports HTTP/1.1\r\nHost: localhost\r\n",
                    b"GET /v1/ports HTTP/1.1\r\nHost: localhost\r\n\r\n", b"\x16\x03\x01\x00",
                    b"GET /v1/stream?port=%s HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n"
                    b"Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                    b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n"
                    % q(self.scale.link).encode()]
        errors = []

        def worker(offset):
            for i in range(250):
                try:
                    s = socket.create_connection(("127.0.0.1", self.service.port), timeout=5)
                    payload = payloads[(offset + i) % len(payloads)]
                    if payload:
                        s.sendall(payload)
                    if i % 3 == 0:
                        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00"
                                     b"\x00\x00\x00\x00")  # reset instead of a clean close
                    s.close()
                except OSError as error:
                    errors.append(error)

        threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
        started = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])
        self.assertLess(time.monotonic() - started, 60)


class ConnectionsAndAddressesTest(unittest.TestCase):
    """Each test starts its own service: the limits and addresses differ."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        # Garbage only: no stable reading ever comes, so a stable wait lasts its timeout.
        self.scale = VirtualScale(self.dir.name, "--mode", "garbage")
        self.addCleanup(self.scale.close)

    def start(self, *args, listen="127.0.0.1:0"):
        service = Service("--stream", self.scale.link, *args, listen=listen)
        self.addCleanup(service.close)
        return service

    def stable_wait(self, service, timeout_ms=60000):
        s = socket.create_connection(("127.0.0.1", service.port), timeout=10)
        s.sendall(b"GET /v1/weight?port=%s&stable=1&timeout_ms=%d HTTP/1.1\r\n"
                  b"Host: localhost\r\n\r\n" % (q(self.scale.link).encode(), timeout_ms))
        return s

    def served(self, service, within):
        def ports():
            try:
                return service.request("/v1/ports", timeout=2)[0] == 200
            except OSError:
                return False
        return wait_until(ports, timeout=within, interval=0.1)

    def test_hung_up_stable_waits_give_back_their_connections(self):
        service = self.start("--max-connections", "40")
        waits = [self.stable_wait(service) for _ in range(40)]
        time.sleep(0.5)  # all of them waiting
        for s in waits:
            s.close()
        # At once, not after the 60-s timeout of the waits.
        self.assertTrue(self.served(service, within=3))
        # Only the connection asking is left (once the last check's close is seen).
        self.assertTrue(wait_until(lambda: 'qelscaled_clients{kind="connection"} 1\n' in
                                   service.request("/metrics")[2].decode(), timeout=3))

    def test_stable_waiters_per_port_are_capped_and_hang_ups_leave_the_count(self):
        service = self.start("--max-stable-waiters", "5")
        waits = [self.stable_wait(service) for _ in range(5)]
        time.sleep(0.3)
        status, body = service.get_json(
            "/v1/weight?port=%s&stable=1&timeout_ms=60000" % q(self.scale.link))
        self.assertEqual((status, body), (503, {"error": "too-many-waiters"}))
        for s in waits:
            s.close()
        time.sleep(0.3)
        status, body = service.get_json(
            "/v1/weight?port=%s&stable=1&timeout_ms=300" % q(self.scale.link))
        self.assertEqual((status, body), (504, {"error": "no-stable-reading"}))

    def test_a_request_sent_during_a_stable_wait_is_answered_after_it(self):
        service = self.start()
        s = self.stable_wait(service, timeout_ms=400)
        s.sendall(b"GET /v1/ports HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n")
        received = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            received += chunk
        s.close()
        self.assertTrue(received.startswith(b"HTTP/1.1 504 "), received[:60])
        self.assertEqual(received.count(b"HTTP/1.1 200 "), 1, received)

    def test_header_limit_above_16_kib_is_honoured(self):
        request = (b"GET /v1/ports HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
                   + b"X-Fill: " + b"a" * 20480 + b"\r\n\r\n")
        for args, served in [(["--header-limit", "32768"], True), ([], False)]:
            service = self.start(*args)
            with socket.create_connection(("127.0.0.1", service.port), timeout=10) as s:
                s.sendall(request)
                try:
                    answer = s.recv(100)
                except ConnectionResetError:
                    answer = b""
            self.assertEqual(answer.startswith(b"HTTP/1.1 200 "), served, (args, answer))

    def ipv6_loopback(self):
        try:
            with socket.socket(socket.AF_INET6) as probe:
                probe.bind(("::1", 0))
        except OSError:
            self.skipTest("no IPv6 loopback here")

    def test_localhost_listens_on_both_loopbacks_with_one_port(self):
        self.ipv6_loopback()
        service = self.start(listen="localhost:0")
        self.assertEqual(service.host, "127.0.0.1")
        # Read aside: a service that prints no second line must fail the test, not hang it.
        lines = []
        reader = threading.Thread(target=lambda: lines.append(service.process.stdout.readline()),
                                  daemon=True)
        reader.start()
        reader.join(timeout=5)
        second = lines[0].decode().strip() if lines else ""
        self.assertEqual(second, "listening on http://[::1]:%d/" % service.port)
        connection = http.client.HTTPConnection("::1", service.port, timeout=5)
        connection.request("GET", "/v1/ports", headers={"Host": "[::1]:%d" % service.port})
        self.assertEqual(connection.getresponse().status, 200)
        connection.close()

    def test_an_address_taken_by_another_program_stops_the_start(self):
        self.ipv6_loopback()
        for family, address, shown in [(socket.AF_INET6, "::1", "[::1]"),
                                       (socket.AF_INET, "127.0.0.1", "127.0.0.1")]:
            with socket.socket(family) as squatter:
                squatter.bind((address, 0))
                squatter.listen()
                port = squatter.getsockname()[1]
                with self.assertRaises(AssertionError) as failed:
                    self.start(listen="localhost:%d" % port)
                self.assertIn("cannot listen on %s:%d" % (shown, port), str(failed.exception))


class CommandSignalTest(unittest.TestCase):
    """Zero and tare on a scale that carries them out. A cross-site form from a browser that
    sends neither Origin nor Sec-Fetch-Site reaches nothing; each signal a form cannot send
    (an allowed Origin, Sec-Fetch-Site of this origin, the JSON type, a bearer token) does."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.scale = VirtualScale(self.dir.name, "--protocol", "sma", weight="2.500")
        self.addCleanup(self.scale.close)

    def start(self, *args):
        service = Service("--stream", self.scale.link + "?protocol=sma", "--stable-ms", "200",
                          "--allow-origin", "http://pos.example:8080", *args)
        self.addCleanup(service.close)
        return service

    def weighed(self, service, headers=None):
        """(value, net) of a stable reading taken after this call began."""
        status, reading = service.get_json(
            "/v1/weight?port=%s&stable=1&timeout_ms=10000" % q(self.scale.link), headers)
        self.assertEqual(status, 200, reading)
        return reading["value"], reading["net"]

    def post(self, service, command, headers):
        status, _, body = service.request("/v1/%s?port=%s" % (command, q(self.scale.link)),
                                          headers=headers, method="POST")
        return status, json.loads(body)

    def test_a_form_without_origin_changes_nothing_and_json_does(self):
        service = self.start()
        self.assertEqual(self.weighed(service), (2.5, False))
        forms = [{}, {"Content-Type": "text/plain"},
                 {"Content-Type": "application/x-www-form-urlencoded"},
                 {"Content-Type": "multipart/form-data; boundary=x"},
                 {"Content-Type": "text/plain; x=application/json"}]
        for headers in forms:
            for command in ("zero", "tare"):
                self.assertEqual(self.post(service, command, headers),
                                 (403, {"error": "cross-site-not-allowed"}), headers)
        # Had one reached the scale, it was acknowledged before its answer: the weight is
        # what it was, in gross.
        self.assertEqual(self.weighed(service), (2.5, False))
        tool = {"Content-Type": "Application/JSON; charset=utf-8"}
        self.assertEqual(self.post(service, "tare", tool),
                         (200, {"port": self.scale.link, "command": "tare", "ok": True}))
        self.assertEqual(self.weighed(service), (0, True))

    def test_an_allowed_page_and_the_own_page_need_no_json_type(self):
        service = self.start()
        self.weighed(service)
        allowed = {"Origin": "http://pos.example:8080", "Content-Type": "text/plain"}
        status, body = self.post(service, "tare", allowed)
        self.assertEqual((status, body["ok"]), (200, True))
        self.assertEqual(self.weighed(service), (0, True))
        own = {"Sec-Fetch-Site": "same-origin", "Content-Type": "text/plain"}
        status, body = self.post(service, "zero", own)
        self.assertEqual((status, body["ok"]), (200, True))
        self.assertEqual(self.weighed(service), (0, False))
        # A page of the allowed origin that posts JSON is preflighted first: the type is
        # among the headers it may send.
        ask = {"Origin": "http://pos.example:8080", "Access-Control-Request-Method": "POST",
               "Access-Control-Request-Headers": "authorization,content-type"}
        status, headers, _ = service.request("/v1/zero?port=" + q(self.scale.link), ask,
                                             method="OPTIONS")
        self.assertEqual(status, 204)
        granted = [h.strip().lower() for h in headers["Access-Control-Allow-Headers"].split(",")]
        self.assertIn("content-type", granted)
        self.assertIn("authorization", granted)

    def test_cached_basic_credentials_are_no_signal_and_a_bearer_token_is(self):
        token = "s3cret-token-0123456789abcdef"
        path = os.path.join(self.dir.name, "token")
        with open(path, "w") as f:
            f.write(token + "\n")
        os.chmod(path, 0o600)
        service = self.start("--token-file", path)
        bearer = {"Authorization": "Bearer " + token}
        self.assertEqual(self.weighed(service, bearer), (2.5, False))
        basic = "Basic " + base64.b64encode(("cashier:" + token).encode()).decode()
        form = {"Authorization": basic, "Content-Type": "text/plain"}
        self.assertEqual(self.post(service, "tare", form),
                         (403, {"error": "cross-site-not-allowed"}))
        self.assertEqual(self.weighed(service, bearer), (2.5, False))
        status, body = self.post(service, "tare", dict(bearer, **{"Content-Type": "text/plain"}))
        self.assertEqual((status, body["ok"]), (200, True))
        self.assertEqual(self.weighed(service, bearer), (0, True))


if __name__ == "__main__":
    unittest.main()
