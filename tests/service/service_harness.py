"""Real parts for the weight service tests: the virtual scale, qelscaled, an HTTP client and a
small WebSocket client (RFC 6455, client side, just what the tests need).

QELSCALED, QEL_VIRTUAL_SCALE and QELSCALE_CLI name the programs.
"""
import base64
import http.client
import json
import os
import select
import socket
import ssl
import struct
import subprocess
import tempfile
import time

QELSCALED = os.environ.get("QELSCALED", "")
VIRTUAL_SCALE = os.environ.get("QEL_VIRTUAL_SCALE", "")
CLI = os.environ.get("QELSCALE_CLI", "")


class VirtualScale:
    """A virtual scale reached through a symlink that survives its vanishing."""

    def __init__(self, directory, *args, weight="1.234", timestamps=None):
        self.link = os.path.join(directory, "scale-%d" % id(self))
        extra = ["--timestamps", timestamps] if timestamps else []
        self.process = subprocess.Popen(
            [VIRTUAL_SCALE, "--weight", weight, "--symlink", self.link, *extra, *args],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.pty = self.process.stdout.readline().decode().strip()

    def command(self, line):
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()
        answer = self.process.stdout.readline().decode().strip()
        if answer != "ok":
            raise AssertionError("virtual scale: %s -> %s" % (line, answer))

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=5)
        self.process.stdin.close()
        self.process.stdout.close()


class Service:
    """qelscaled on a free loopback port; over TLS when given the client's `tls` context (the
    service's own --tls-cert and --tls-key are among `args` then)."""

    def __init__(self, *args, listen="127.0.0.1:0", locale="C", tls=None):
        self.stderr = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            [QELSCALED, "--listen", listen, *args],
            stdout=subprocess.PIPE, stderr=self.stderr, env={**os.environ, "LC_ALL": locale})
        line = self.process.stdout.readline().decode().strip()
        scheme = "https://" if tls else "http://"
        if not line.startswith("listening on " + scheme):
            self.process.wait(timeout=5)
            raise AssertionError("qelscaled did not start: %r %s" % (line, self.log()))
        self.tls = tls
        self.base = line[len("listening on "):]
        hostport = self.base[len(scheme):-1]
        self.host, _, port = hostport.rpartition(":")
        self.port = int(port)
        self.hostport = hostport

    def log(self):
        self.stderr.seek(0)
        return self.stderr.read().decode(errors="replace")

    def fd_count(self):
        return len(os.listdir("/proc/%d/fd" % self.process.pid))

    def request(self, path, headers=None, method="GET", timeout=10):
        if self.tls:
            connection = http.client.HTTPSConnection(self.host.strip("[]"), self.port,
                                                     timeout=timeout, context=self.tls)
        else:
            connection = http.client.HTTPConnection(self.host.strip("[]"), self.port,
                                                    timeout=timeout)
        try:
            connection.request(method, path, headers=headers or {})
            response = connection.getresponse()
            body = response.read()
            return response.status, dict(response.getheaders()), body
        finally:
            connection.close()

    def get_json(self, path, headers=None, timeout=10):
        status, _, body = self.request(path, headers=headers, timeout=timeout)
        return status, json.loads(body) if body else None

    def websocket(self, path, headers=None, protocols=None, timeout=10, receive_buffer=None):
        return WebSocket(self.host.strip("[]"), self.port, path, self.hostport,
                         headers=headers, protocols=protocols, timeout=timeout,
                         receive_buffer=receive_buffer, tls=self.tls)

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        self.stderr.close()


class HandshakeRefused(Exception):
    def __init__(self, status, head):
        super().__init__("handshake refused: %d" % status)
        self.status = status
        self.head = head


class WebSocket:
    def __init__(self, host, port, path, host_header, headers=None, protocols=None, timeout=10,
                 receive_buffer=None, tls=None):
        self.sock = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
        if receive_buffer:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.sock.settimeout(timeout)
        self.sock.connect((host, port))
        if tls:
            self.sock = tls.wrap_socket(self.sock, server_hostname=host)
        key = base64.b64encode(os.urandom(16)).decode()
        lines = ["GET %s HTTP/1.1" % path, "Host: %s" % host_header, "Upgrade: websocket",
                 "Connection: Upgrade", "Sec-WebSocket-Key: %s" % key,
                 "Sec-WebSocket-Version: 13"]
        if protocols:
            lines.append("Sec-WebSocket-Protocol: %s" % ", ".join(protocols))
        for name, value in (headers or {}).items():
            lines.append("%s: %s" % (name, value))
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            head += chunk
        head, _, self.pending = head.partition(b"\r\n\r\n")
        status_line = head.split(b"\r\n")[0].decode()
        self.status = int(status_line.split()[1]) if len(status_line.split()) > 1 else 0
        self.headers = {}
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.decode().partition(":")
            self.headers[name.strip().lower()] = value.strip()
        if self.status != 101:
            self.sock.close()
            raise HandshakeRefused(self.status, head)
        self.pings = 0

    def _read_exact(self, n, deadline):
        while len(self.pending) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no WebSocket message in time")
            # TLS may hold decrypted bytes that select cannot see.
            buffered = getattr(self.sock, "pending", lambda: 0)()
            ready, _, _ = select.select([self.sock], [], [], 0 if buffered else left)
            if not ready and not buffered:
                continue
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("WebSocket closed by the service")
            self.pending += chunk
        data, self.pending = self.pending[:n], self.pending[n:]
        return data

    def send_frame(self, opcode, payload, fin=True, length_override=None):
        mask = os.urandom(4)
        header = bytes([(0x80 if fin else 0) | opcode])
        n = len(payload) if length_override is None else length_override
        if n < 126:
            header += bytes([0x80 | n])
        elif n < 65536:
            header += bytes([0x80 | 126]) + struct.pack("!H", n)
        else:
            header += bytes([0x80 | 127]) + struct.pack("!Q", n)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.sendall(header + mask + masked)

    def receive(self, timeout=5):
        """The next text message as JSON; answers pings on the way."""
        deadline = time.monotonic() + timeout
        while True:
            b0, b1 = self._read_exact(2, deadline)
            opcode = b0 & 0x0F
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack("!H", self._read_exact(2, deadline))[0]
            elif n == 127:
                n = struct.unpack("!Q", self._read_exact(8, deadline))[0]
            payload = self._read_exact(n, deadline)
            if opcode == 0x9:
                self.pings += 1
                self.send_frame(0xA, payload)
                continue
            if opcode == 0x8:
                raise ConnectionError("WebSocket closed by the service")
            if opcode == 0x1:
                return json.loads(payload.decode())

    def receive_until(self, predicate, timeout=10):
        deadline = time.monotonic() + timeout
        seen = []
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("condition not met; messages: %r" % seen[-5:])
            message = self.receive(timeout=left)
            seen.append(message)
            if predicate(message):
                return message

    def unread(self, timeout=5):
        """Whether the service sent what this client has not read, reading none of it."""
        if isinstance(self.sock, ssl.SSLSocket):  # no peeking through TLS: a record waits
            return bool(select.select([self.sock], [], [], timeout)[0])
        self.sock.settimeout(timeout)
        return self.sock.recv(1, socket.MSG_PEEK) != b""

    def closed_by_peer(self, timeout=5):
        """True when the service ends the connection within `timeout`."""
        deadline = time.monotonic() + timeout
        try:
            while True:
                self.receive(timeout=max(0.01, deadline - time.monotonic()))
        except TimeoutError:  # an OSError too: caught first
            return False
        except (ConnectionError, OSError):
            return True

    def close(self):
        try:
            self.send_frame(0x8, b"\x03\xe8")
        except OSError:
            pass
        self.sock.close()


def wait_until(predicate, timeout=10, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    return predicate()
