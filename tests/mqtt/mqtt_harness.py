"""A real MQTT broker for tests: Debian's mosquitto on loopback, with its own configuration in a
temporary folder; a subscriber that stamps each message; TLS material made with openssl."""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77  # CTest's SKIP_RETURN_CODE


def require_broker():
    """Exits with 77 when the broker or the Python client is genuinely absent."""
    missing = [p for p in ("mosquitto", "mosquitto_passwd", "openssl") if not shutil.which(p)]
    try:
        import paho.mqtt.client  # noqa: F401
    except ImportError:
        missing.append("python3-paho-mqtt")
    if missing:
        print("SKIP: not installed: " + ", ".join(missing) + " (scripts/setup installs them)")
        sys.exit(SKIP)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    """mosquitto on 127.0.0.1, started and stopped by the test, never a system service."""

    def __init__(self, folder, tls=None, users=None, persistence=False):
        self.folder = folder
        self.port = free_port()
        self.tls = tls  # a Tls instance: serve TLS with its server certificate
        self.users = users  # {"user": "password"}: password authentication, no anonymous
        self.conf = os.path.join(folder, "mosquitto-%d.conf" % self.port)
        self.log = os.path.join(folder, "mosquitto-%d.log" % self.port)
        lines = ["listener %d 127.0.0.1" % self.port,
                 "persistence %s" % ("true" if persistence else "false"),
                 "persistence_location %s/" % folder,
                 "log_dest stderr",
                 "log_type error", "log_type warning", "log_type notice", "log_type information",
                 # Started as root it would switch to the mosquitto user, which cannot read the
                 # test's private folder.
                 "user %s" % ("root" if os.geteuid() == 0 else os.environ.get("USER", "nobody"))]
        if users:
            pwfile = os.path.join(folder, "passwd")
            for i, (user, password) in enumerate(users.items()):
                args = ["mosquitto_passwd", "-b", pwfile, user, password]
                if i == 0:
                    args.insert(1, "-c")
                subprocess.run(args, check=True, capture_output=True)
            lines += ["allow_anonymous false", "password_file %s" % pwfile]
        else:
            lines.append("allow_anonymous true")
        if tls:
            lines += ["cafile %s" % tls.ca, "certfile %s" % tls.cert, "keyfile %s" % tls.key]
        with open(self.conf, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.process = None

    def start(self):
        self.logfile = open(self.log, "a")
        self.process = subprocess.Popen(["mosquitto", "-c", self.conf], stdout=self.logfile,
                                        stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("mosquitto exited: " + self.read_log())
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return self
            except OSError:
                time.sleep(0.02)
        raise RuntimeError("mosquitto did not listen on %d" % self.port)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)
        if self.process:
            self.logfile.close()
        self.process = None

    def read_log(self):
        with open(self.log) as f:
            return f.read()

    def url(self, host="127.0.0.1"):
        return "%s://%s:%d" % ("mqtts" if self.tls else "mqtt", host, self.port)


class Tls:
    """A test CA and a server certificate for localhost and 127.0.0.1, signed by it."""

    def __init__(self, folder, name="test"):
        def path(n):
            return os.path.join(folder, "%s-%s" % (name, n))
        self.ca, self.ca_key = path("ca.pem"), path("ca.key")
        self.cert, self.key = path("server.pem"), path("server.key")
        csr, ext = path("server.csr"), path("server.ext")

        def run(*args):
            subprocess.run(["openssl"] + list(args), check=True, capture_output=True)
        run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
            "/CN=Qel test CA %s" % name, "-keyout", self.ca_key, "-out", self.ca)
        run("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-keyout", self.key,
            "-out", csr)
        with open(ext, "w") as f:
            f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
        run("x509", "-req", "-in", csr, "-CA", self.ca, "-CAkey", self.ca_key, "-CAcreateserial",
            "-days", "2", "-extfile", ext, "-out", self.cert)


class Subscriber:
    """A paho client that records (arrival time, topic, payload, retained) for every message."""

    def __init__(self, broker, topic, username=None, password=None, ca=None):
        import paho.mqtt.client as mqtt
        self.messages = []
        self.cond = threading.Condition()
        self.client = mqtt.Client(client_id="", clean_session=True)
        if username:
            self.client.username_pw_set(username, password)
        if ca:
            self.client.tls_set(ca_certs=ca)
        self.client.on_message = self._on_message
        subscribed = threading.Event()
        self.client.on_subscribe = lambda *a: subscribed.set()
        self.client.on_connect = lambda c, u, f, rc: c.subscribe(topic, qos=1)
        self.client.connect("localhost" if ca else "127.0.0.1", broker.port, keepalive=30)
        self.client.loop_start()
        if not subscribed.wait(10):
            raise RuntimeError("subscriber did not subscribe")

    def _on_message(self, client, userdata, msg):
        with self.cond:
            self.messages.append((time.monotonic(), msg.topic, msg.payload.decode(), msg.retain))
            self.cond.notify_all()

    def wait_for(self, predicate, timeout=10.0):
        """The first recorded message that satisfies predicate(topic, payload, retained)."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for m in self.messages:
                    if predicate(m[1], m[2], m[3]):
                        return m
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("no such message within %.1f s; got %r" %
                                         (timeout, self.messages))
                self.cond.wait(left)

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


class Feed:
    """qel_mqtt_feed: the service's publisher fed from stdin."""

    def __init__(self, folder, broker_url, station, extra=()):
        fd, self.log_path = tempfile.mkstemp(prefix="feed-", suffix=".log", dir=folder)
        self.logfile = os.fdopen(fd, "w")
        exe = os.environ["QEL_MQTT_FEED"]
        self.process = subprocess.Popen([exe, "--mqtt", broker_url, "--station", station] +
                                        list(extra), stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=self.logfile, text=True,
                                        bufsize=1)

    def send(self, port, payload):
        """Hands the port's state to the publisher; returns the monotonic time of the hand-over."""
        self.process.stdin.write("%s\t%s\n" % (port, payload))
        self.process.stdin.flush()
        return time.monotonic()

    def stats(self):
        self.process.stdin.write("stats\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline().split()
        assert line and line[0] == "stats", line
        return {k: int(v) for k, v in (field.split("=") for field in line[1:])}

    def wait_connected(self, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.stats()["connected"]:
                return
            time.sleep(0.05)
        raise AssertionError("feed did not connect: " + self.log())

    def log(self):
        with open(self.log_path) as f:
            return f.read()

    def close(self):
        """End of input: the publisher says offline and disconnects."""
        if self.process.poll() is None:
            self.process.stdin.close()
            self.process.wait(10)
        self._release()
        return self.process.returncode

    def kill(self):
        self.process.kill()
        self.process.wait(10)
        self._release()

    def _release(self):
        for f in (self.process.stdin, self.process.stdout, self.logfile):
            if not f.closed:
                try:
                    f.close()
                except BrokenPipeError:
                    pass
