"""Zero and tare through qelscaled, as tills use them: a command whose client hung up before it
went to the scale never does, a port takes only a few at once, and a reading is never held
behind the commands waiting on an on-demand port."""
import json
import socket
import tempfile
import threading
import time
import unittest
import urllib.parse

from service_harness import Service, VirtualScale, wait_until


def q(name):
    return urllib.parse.quote(name, safe="")


class CommandServiceTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def start(self, protocol, mode, options="", weight="5.000"):
        scale = VirtualScale(self.dir.name, "--protocol", protocol, weight=weight)
        self.addCleanup(scale.close)
        service = Service(mode, scale.link + "?protocol=" + protocol + options)
        self.addCleanup(service.close)
        return scale, service

    def post(self, service, path):
        status, _, body = service.request(
            path, method="POST", headers={"Content-Type": "application/json"}, timeout=30)
        return status, json.loads(body) if body else None

    def weight(self, service, port):
        status, body = service.get_json("/v1/weight?port=" + q(port))
        self.assertEqual(status, 200)
        return body

    def hang_up_after(self, service, path, seconds):
        """Sends a POST and closes the connection without waiting for its answer."""
        with socket.create_connection((service.host.strip("[]"), service.port)) as raw:
            raw.sendall(("POST %s HTTP/1.1\r\nHost: %s\r\nContent-Type: application/json\r\n"
                         "Content-Length: 0\r\n\r\n" % (path, service.hostport)).encode())
            time.sleep(seconds)

    def test_commands_of_clients_that_hung_up_are_never_carried_out(self):
        scale, service = self.start("mt-sics", "--stream", "&command_ms=1500")
        wait_until(lambda: self.weight(service, scale.link)["ok"])
        scale.command("commands ignore")
        tare = "/v1/tare?port=" + q(scale.link)
        clients = [threading.Thread(target=self.hang_up_after, args=(service, tare, 0.3))
                   for _ in range(8)]
        for client in clients:
            client.start()
        for client in clients:
            client.join()
        # The scale answers again, with the weight still on it: nothing left over may tare it.
        scale.command("commands ack")
        time.sleep(3.5)  # past every window the given-up tares could have had
        for _ in range(5):
            body = self.weight(service, scale.link)
            self.assertTrue(body["ok"], body)
            self.assertEqual(body["value"], 5.0, body)
            time.sleep(0.2)
        # The same tare from a client that waits is carried out.
        self.assertEqual(self.post(service, tare)[0], 200)
        wait_until(lambda: self.weight(service, scale.link)["value"] == 0)

    def test_a_port_takes_four_commands_at_once(self):
        scale, service = self.start("mt-sics", "--stream", "&command_ms=2000")
        wait_until(lambda: self.weight(service, scale.link)["ok"])
        scale.command("commands ignore")
        tare = "/v1/tare?port=" + q(scale.link)
        answers = []
        waiting = [threading.Thread(target=lambda: answers.append(self.post(service, tare)))
                   for _ in range(4)]
        for client in waiting:
            client.start()
        time.sleep(0.5)
        self.assertEqual(self.post(service, tare), (503, {"error": "too-many-commands"}))
        for client in waiting:
            client.join()
        self.assertEqual([a[0] for a in answers], [504] * 4)
        self.assertTrue(all(a[1] == {"error": "no-answer"} for a in answers))
        # Places free again once answered.
        scale.command("commands ack")
        self.assertEqual(self.post(service, tare)[0], 200)

    def test_an_on_demand_reading_goes_before_waiting_commands(self):
        scale, service = self.start("mt-sics", "--port")
        port = scale.link
        order = []
        lock = threading.Lock()

        def tare(n):
            status, _ = self.post(service, "/v1/tare?port=" + q(port))
            with lock:
                order.append(("tare %d" % n, status))

        def read():
            body = self.weight(service, port)
            with lock:
                order.append(("reading", body["ok"]))

        tares = [threading.Thread(target=tare, args=(n,)) for n in range(3)]
        for n, client in enumerate(tares):
            client.start()
            time.sleep(0.05)
        time.sleep(0.1)
        reader = threading.Thread(target=read)
        reader.start()
        for client in tares + [reader]:
            client.join()
        names = [name for name, _ in order]
        self.assertEqual(len(order), 4, order)
        # Behind the one tare on the wire at most, never behind all three.
        self.assertLess(names.index("reading"), 3, order)
        self.assertIn(("reading", True), order)


if __name__ == "__main__":
    unittest.main()
