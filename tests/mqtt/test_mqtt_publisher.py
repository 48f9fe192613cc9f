"""The weight service's MQTT publisher (qel_mqtt_feed drives it as the service does) against a
real mosquitto broker on loopback."""

import json
import os
import re
import tempfile
import time
import unittest
import urllib.parse

import mqtt_harness as h

h.require_broker()


def weight(port, value, stable=True):
    return json.dumps({"port": port, "ok": True, "value": value, "text": "%.3f" % value,
                       "stable": stable, "at": "2026-01-01T00:00:00.000Z"})


def wait_for_log(feed, pattern, timeout=20.0):
    """Polls the feed's log for a line matching `pattern`, up to a deadline."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if re.search(pattern, feed.log()):
            return
        time.sleep(0.1)
    raise AssertionError("no log line %r: %s" % (pattern, feed.log()))


def level_name(level):
    """The inverse of the publisher's topic-level escaping."""
    return urllib.parse.unquote(level, errors="strict")


class PublisherTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="qel-mqtt-")
        self.dir = self.tmp.name
        self.cleanups = []

    def tearDown(self):
        for f in reversed(self.cleanups):
            f()
        self.tmp.cleanup()

    def broker(self, **kw):
        b = h.Broker(self.dir, **kw).start()
        self.cleanups.append(b.stop)
        return b

    def subscriber(self, broker, topic, **kw):
        s = h.Subscriber(broker, topic, **kw)
        self.cleanups.append(s.close)
        return s

    def feed(self, url, station, extra=()):
        f = h.Feed(self.dir, url, station, extra)

        def finish():
            if f.process.poll() is None:
                f.close()
            # A sanitizer build reports here; a plain build never writes these.
            self.assertNotRegex(f.log(), r"Sanitizer|runtime error")
        self.cleanups.append(finish)
        return f

    def test_retained_state_on_connect_then_every_change_at_once(self):
        broker = self.broker()
        feed = self.feed(broker.url(), "till1")
        feed.send("COM3", weight("COM3", 1.234))
        feed.wait_connected()
        first = self.subscriber(broker, "qel/till1/#")
        _, _, status, retained = first.wait_for(lambda t, p, r: t == "qel/till1/status")
        self.assertEqual(("online", True), (status, retained))
        _, _, payload, retained = first.wait_for(lambda t, p, r: t == "qel/till1/COM3/weight")
        self.assertTrue(retained, "a new subscriber gets the current state from the broker")
        self.assertEqual(weight("COM3", 1.234), payload, "the JSON is passed on unchanged")

        latencies = []
        for i in range(20):
            value = 2.0 + i / 1000
            sent = feed.send("COM3", weight("COM3", value))
            arrived, _, _, retained = first.wait_for(
                lambda t, p, r, v=value: t.endswith("/weight") and json.loads(p)["value"] == v)
            self.assertFalse(retained)
            latencies.append(arrived - sent)
        latencies.sort()
        # Only "at once, not held back"; the latency figures are the MQTT fleet benchmark's.
        print("latency median %.1f ms, max %.1f ms" % (latencies[len(latencies) // 2] * 1000,
                                                       latencies[-1] * 1000))
        self.assertLess(latencies[-1], 3.0, latencies)

        # A change of stability alone is a change too.
        feed.send("COM3", weight("COM3", 2.019, stable=False))
        first.wait_for(lambda t, p, r: t.endswith("/weight") and not json.loads(p)["stable"])

    def test_clean_stop_says_offline(self):
        broker = self.broker()
        feed = self.feed(broker.url(), "till2")
        feed.wait_connected()
        sub = self.subscriber(broker, "qel/till2/status")
        sub.wait_for(lambda t, p, r: p == "online")
        self.assertEqual(0, feed.close())
        sub.wait_for(lambda t, p, r: p == "offline")

    def test_killed_station_goes_offline_through_the_last_will(self):
        broker = self.broker()
        feed = self.feed(broker.url(), "till3")
        feed.send("COM1", weight("COM1", 5.0))
        feed.wait_connected()
        sub = self.subscriber(broker, "qel/till3/status")
        sub.wait_for(lambda t, p, r: p == "online")
        feed.kill()  # SIGKILL: no chance to say goodbye
        _, _, _, retained = sub.wait_for(lambda t, p, r: p == "offline", timeout=5)
        late = self.subscriber(broker, "qel/till3/status")
        _, _, _, retained = late.wait_for(lambda t, p, r: p == "offline")
        self.assertTrue(retained, "the will is retained")

    def test_broker_restart_reconnects_and_republishes_only_the_current_state(self):
        broker = self.broker()  # without persistence: a restart forgets every retained message
        feed = self.feed(broker.url(), "till4")
        feed.send("/dev/ttyUSB0", weight("/dev/ttyUSB0", 1.0))
        feed.wait_connected()
        broker.stop()
        # While the broker is away the caller is never held up, and nothing queues up.
        for value in (2.0, 3.0, 4.0):
            feed.send("/dev/ttyUSB0", weight("/dev/ttyUSB0", value))
            time.sleep(0.2)
        stats = feed.stats()
        self.assertEqual(0, stats["connected"])
        # Waiting on the network would take the reconnect delay (0.5 s and more) on each of
        # the three calls; the bound leaves a loaded machine room for long preemption.
        self.assertLess(stats["max_publish_us"], 400000, "Publish() never waits on the network")
        broker.start()
        sub = self.subscriber(broker, "qel/till4/#")
        _, _, payload, _ = sub.wait_for(lambda t, p, r: t.endswith("/weight"), timeout=20)
        self.assertEqual(4.0, json.loads(payload)["value"])
        sub.wait_for(lambda t, p, r: p == "online")
        time.sleep(0.5)
        values = [json.loads(p)["value"] for _, t, p, _ in sub.messages if t.endswith("/weight")]
        self.assertEqual([4.0], values, "what changed while away is not replayed")
        self.assertEqual(2, feed.stats()["connects"])
        self.assertIn("lost the connection", feed.log())
        self.assertIsNone(feed.process.poll())

    def test_broker_absent_at_start(self):
        url = "mqtt://127.0.0.1:%d" % h.free_port()
        feed = self.feed(url, "till5")
        feed.send("COM1", weight("COM1", 7.0))
        wait_for_log(feed, re.escape("cannot connect to %s: Connection refused" % url))
        time.sleep(1.5)  # retries go on meanwhile: none may log again
        self.assertEqual(1, feed.log().count("Connection refused"), "a failure is logged once")
        self.assertIsNone(feed.process.poll())
        self.assertEqual(0, feed.close())

    def test_port_named_like_a_path_cannot_escape_its_topic(self):
        broker = self.broker()
        feed = self.feed(broker.url(), "till/6+#")
        sub = self.subscriber(broker, "qel/#")
        names = ["/dev/ttyUSB0", "a/+/#", "%2F", "../x", "#", "+", "COM3", "порт 1"]
        for name in names:
            feed.send(name, weight(name, 1.5))
        feed.wait_connected()
        seen = {}
        for name in names:
            _, topic, _, _ = sub.wait_for(
                lambda t, p, r, n=name: t.endswith("/weight") and json.loads(p)["port"] == n)
            seen[name] = topic
        for name, topic in seen.items():
            levels = topic.split("/")
            self.assertEqual(4, len(levels), topic)
            self.assertEqual(["qel", "till%2F6%2B%23"], levels[:2], topic)
            self.assertEqual("weight", levels[3])
            self.assertEqual(name, level_name(levels[2]), "the escape is reversible")
            self.assertNotRegex(levels[2], r"[+#/]")
        self.assertEqual("qel/till%2F6%2B%23/%2Fdev%2FttyUSB0/weight", seen["/dev/ttyUSB0"])
        self.assertEqual(len(names), len(set(seen.values())), "distinct names, distinct topics")
        # The fleet wildcard matches every port exactly once.
        fleet = self.subscriber(broker, "qel/+/+/weight")
        for name in names:
            fleet.wait_for(lambda t, p, r, n=name: json.loads(p)["port"] == n)

    def test_tls_with_a_test_ca_and_password_authentication(self):
        tls = h.Tls(self.dir)
        broker = self.broker(tls=tls, users={"till7": "s3cret:with colon", "dash": "board"})
        pw = os.path.join(self.dir, "till7.cred")
        with open(pw, "w") as f:
            f.write("till7:s3cret:with colon\n")
        os.chmod(pw, 0o600)  # a secret: its owner's alone
        feed = self.feed(broker.url("localhost"), "till7",
                         ["--mqtt-password-file", pw, "--mqtt-ca", tls.ca])
        feed.send("COM2", weight("COM2", 9.5))
        feed.wait_connected()
        sub = self.subscriber(broker, "qel/till7/#", username="dash", password="board", ca=tls.ca)
        _, _, payload, retained = sub.wait_for(lambda t, p, r: t.endswith("/weight"))
        self.assertEqual(9.5, json.loads(payload)["value"])
        self.assertTrue(retained)
        sub.wait_for(lambda t, p, r: t.endswith("/status") and p == "online")
        self.assertIn("connected to mqtts://localhost:%d" % broker.port, feed.log())
        # Restart under TLS: reconnects and republishes.
        broker.stop()
        broker.start()
        feed.send("COM2", weight("COM2", 9.75))
        late = self.subscriber(broker, "qel/till7/#", username="dash", password="board", ca=tls.ca)
        late.wait_for(lambda t, p, r: t.endswith("/weight") and json.loads(p)["value"] == 9.75,
                      timeout=20)
        self.assertIsNone(feed.process.poll())

    def test_wrong_password_is_a_clear_log_line_and_no_crash(self):
        tls = h.Tls(self.dir)
        broker = self.broker(tls=tls, users={"till8": "right"})
        pw = os.path.join(self.dir, "wrong.cred")
        with open(pw, "w") as f:
            f.write("till8:wrong\n")
        os.chmod(pw, 0o600)  # a secret: its owner's alone
        feed = self.feed(broker.url("localhost"), "till8",
                         ["--mqtt-password-file", pw, "--mqtt-ca", tls.ca])
        feed.send("COM1", weight("COM1", 1.0))
        wait_for_log(feed, "refused")
        time.sleep(2.5)  # several attempts with backoff: none may log again
        log = feed.log()
        self.assertRegex(log, r"mqtt: cannot connect to mqtts://localhost:\d+: the broker refused "
                              r"the connection: Connection Refused: not authorised\. Check the "
                              r"user name and password in --mqtt-password-file\.")
        self.assertEqual(1, log.count("refused"), "logged once, not on every retry")
        self.assertIsNone(feed.process.poll(), "still running")
        self.assertEqual(0, feed.stats()["connected"])
        self.assertEqual(0, feed.close())

    def test_unknown_ca_is_a_clear_log_line_and_no_crash(self):
        tls = h.Tls(self.dir, "broker")
        other = h.Tls(self.dir, "other")
        broker = self.broker(tls=tls)
        feed = self.feed(broker.url("localhost"), "till9", ["--mqtt-ca", other.ca])
        wait_for_log(feed, "TLS failed")
        self.assertRegex(feed.log(), r"cannot connect to mqtts://localhost:\d+: TLS failed "
                                     r"\(.*certificate verify failed.*\); CA file ")
        self.assertIsNone(feed.process.poll())
        self.assertEqual(0, feed.close())


if __name__ == "__main__":
    unittest.main()
