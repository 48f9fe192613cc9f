"""WebSerial and WebHID in headless Chromium, through stand-ins: Chromium has no virtual serial
or HID device, so standins.js puts navigator.serial and navigator.hid into the page before it
loads. The serial stand-in reaches the virtual scale's pseudo-terminal through serial_relay.py,
which sets the line each open() asks for; the HID stand-in sends recorded USB scale reports.
Also the bad cases: garbage, a cut record, a device that vanishes mid-read, a refused token.
Each ends in the documented error or reading, with no unhandled rejection in the page.

Exits 77 (skipped) only when Chromium, its driver or Selenium is not installed.
"""
import os
import random
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "service"))
from browser_harness import ARTIFACTS, PageServer, chromium  # noqa: E402
from serial_relay import SerialRelay  # noqa: E402
from service_harness import Service, VirtualScale  # noqa: E402

PACKAGE = os.environ.get("QELSCALE_PACKAGE", "")

# crossorigin: a rejection nobody handles inside a script from another origin loaded without
# CORS never reaches the page's unhandledrejection listener (only the console).
PAGE = """<!doctype html><meta charset="utf-8"><title>devices</title>
<script crossorigin src="%sqelscale.js"></script><body>loaded</body>"""

# The page's part of every step: arguments[0] is the step's body (an async function of `args`
# and `page`, a store kept between steps); a rejection answers {error: code or name}.
RUNNER = """const done = arguments[arguments.length - 1];
const [body, args] = arguments;
window.page = window.page || {};
(async () => new Function('args', 'page', 'return (async () => {' + body + '})()')(args, page))()
  .then((value) => done(value === undefined ? null : value),
        (e) => done({error: e && (e.code || e.name) || String(e), message: String(e && e.message)}));
"""

# Readings a scale gives, and a wait for the next one.
HELPERS = """
page.next = (scale) => new Promise((resolve) =>
  scale.addEventListener('reading', (e) => resolve(e.detail), {once: true}));
page.watch = (scale) => {
  // openSerial resolves with its first reading in.
  page.readings = scale.latest ? [scale.latest] : [];
  scale.addEventListener('reading', (e) => page.readings.push(e.detail));
};
// The latest reading once `test` holds for it, within `ms`.
page.until = (scale, test, ms = 10000) => new Promise((resolve, reject) => {
  if (scale.latest && test(scale.latest)) return resolve(scale.latest);
  const timer = setTimeout(() => reject(new Error('no such reading: ' + JSON.stringify(scale.latest))), ms);
  scale.addEventListener('reading', function seen(e) {
    if (!test(e.detail)) return;
    clearTimeout(timer);
    scale.removeEventListener('reading', seen);
    resolve(e.detail);
  });
});
page.openSerial = async (url, options) => {
  page.port = QelStandins.serial.add(url);
  const scale = await QelScale.openSerial(await navigator.serial.requestPort(), options);
  page.watch(scale);
  return scale;
};
"""
# The fields of a reading the serial tests compare.
PICK = "const pick = (r) => ({port: r.port, ok: r.ok, value: r.value, unit: r.unit," \
    " protocol: r.protocol, error: r.error ?? null});"

# USB scale reports (status, unit, exponent, weight LE) and the readings they give.
HID_REPORTS = [
    ([4, 12, 0xff, 25, 0], {"ok": True, "value": 2.5, "text": "2.5", "stable": True, "unit": "lb"}),
    ([3, 3, 0xfd, 0x34, 0x12], {"ok": True, "value": 4.66, "text": "4.660", "stable": False,
                                "unit": "kg"}),
    ([2, 11, 0xff, 0, 0], {"ok": True, "value": 0, "text": "0.0", "stable": True, "unit": "oz"}),
    ([6, 12, 0xff, 0, 0], {"ok": False, "error": "overload", "stable": False}),
    ([5, 12, 0xff, 3, 0], {"ok": False, "error": "under-zero", "stable": False}),
    ([4, 12], {"ok": False, "error": "no-reading"}),
]


class DevicesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.browser, cls.profile = chromium()
        with open(os.path.join(HERE, "standins.js"), encoding="utf-8") as source:
            cls.browser.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument",
                                        {"source": source.read()})
        cls.browser.set_script_timeout(40)
        cls.page = PageServer()

    @classmethod
    def tearDownClass(cls):
        # The browser first: a connection it opened ahead and never used holds the page
        # server's one thread until it goes.
        cls.browser.quit()
        cls.page.close()
        shutil.rmtree(cls.profile, True)

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.browser.get_log("browser")  # what an earlier test left

    def scale(self, *args, weight="1.250"):
        scale = VirtualScale(self.dir.name, *args, weight=weight)
        self.addCleanup(scale.close)
        return scale

    def relay(self, **devices):
        relay = SerialRelay({name: scale.link for name, scale in devices.items()})
        self.addCleanup(relay.close)
        return relay

    def load(self, service):
        """The page on its own origin, with the bundle from `service`."""
        self.page.content = PAGE % service.base
        self.browser.get(self.page.origin)
        self.assertEqual(self.browser.execute_script("return typeof QelScale.openHid"), "function")

    def service(self, *args):
        service = Service(*args, "--allow-origin", self.page.origin)
        self.addCleanup(service.close)
        return service

    def step(self, body, *args):
        try:
            return self.browser.execute_async_script(RUNNER, body, list(args))
        except Exception:
            self.browser.save_screenshot(os.path.join(ARTIFACTS, "qelscale-devices-%s.png"
                                                      % self._testMethodName))
            raise

    def assert_page_clean(self):
        """No unhandled rejection, and no error in the console but network ones."""
        unhandled = self.step("await new Promise((r) => setTimeout(r, 100));"
                              " return QelStandins.unhandled;")
        self.assertEqual(unhandled, [], "unhandled rejections in the page")
        logs = [entry for entry in self.browser.get_log("browser")
                if entry.get("level") == "SEVERE" and entry.get("source") != "network"]
        self.assertEqual(logs, [])

    def test_hid_reports_give_readings_stable_and_not_supported(self):
        self.load(self.service("--port", os.path.join(self.dir.name, "absent")))
        self.step(HELPERS + """
            page.device = QelStandins.hid.add('USB scale');
            const [device] = await navigator.hid.requestDevice({filters: QelScale.hidFilters});
            page.scale = await QelScale.openHid(device);
            page.watch(page.scale);""")
        self.assertTrue(self.step("return page.device.opened;"))
        readings = self.step("""
            const got = [];
            for (const report of args[0]) {
              const next = page.next(page.scale);
              page.device.send(report);
              got.push(await next);
            }
            return got;""", [report for report, _ in HID_REPORTS])
        for (report, expected), got in zip(HID_REPORTS, readings):
            self.assertEqual(got["port"], "USB scale")
            self.assertEqual(got["protocol"], "hid-scale")
            self.assertEqual({key: got.get(key) for key in expected}, expected, report)
        self.assertEqual(self.step("""
            const stable = page.scale.stable({timeoutMs: 10000});
            page.device.send([4, 2, 0, 0xd2, 0x04]);
            return (await stable).text;"""), "1234")
        self.assertEqual(self.step("await page.scale.zero();")["error"], "not-supported")
        self.assertEqual(self.step("await page.scale.tare();")["error"], "not-supported")
        # After close() the device is closed, and a report it still had on its way is no
        # reading: the scale stopped listening.
        after = self.step("""
            const before = page.readings.length;
            await page.scale.close();
            const opened = page.device.opened;
            const sent = page.device.send([4, 2, 0, 1, 0]);
            page.device.dispatchEvent(Object.assign(new Event('inputreport'),
              {reportId: 3, data: new DataView(Uint8Array.of(4, 2, 0, 1, 0).buffer)}));
            await new Promise((r) => setTimeout(r, 200));
            return {opened, sent, more: page.readings.length - before,
                    latest: page.scale.latest.text};""")
        self.assertEqual(after, {"opened": False, "sent": False, "more": 0, "latest": "1234"})
        self.assert_page_clean()

    def test_the_serial_stand_in_keeps_webserial_rules_over_the_relay(self):
        # What the tests below lean on: the line reaches the scale, the port's states and
        # refusals are WebSerial's, and a lost device errors the readable.
        scale = self.scale("--protocol", "ad")
        relay = self.relay(ad=scale)
        self.load(self.service("--port", os.path.join(self.dir.name, "absent")))
        # The page's count of unhandled rejections, which every test ends on, counts the
        # package's: a stable() nobody waits for.
        self.assertEqual(self.step("""
            const scale = await QelScale.openHid(QelStandins.hid.add('probe'));
            scale.stable({timeoutMs: 1});
            await new Promise((r) => setTimeout(r, 200));
            await scale.close();
            return QelStandins.unhandled.splice(0);"""), ["timeout"])
        self.browser.get_log("browser")
        states = self.step("""
            const port = QelStandins.serial.add(args[0]);
            const chosen = await navigator.serial.requestPort();
            const before = chosen.readable;
            await port.open({baudRate: 2400, dataBits: 7, parity: 'even'});
            const twice = await port.open({baudRate: 2400}).catch((e) => e.name);
            const reader = port.readable.getReader();
            let text = '';
            while (!/\\r\\n.*\\r\\n/s.test(text)) {
              text += new TextDecoder().decode((await reader.read()).value);
            }
            const locked = await port.close().catch((e) => e.name);
            reader.releaseLock();
            await port.close();
            const missing = QelStandins.serial.add(args[1]);
            const unreachable = await missing.open({baudRate: 9600}).catch((e) => e.name);
            await port.open({baudRate: 2400, dataBits: 7, parity: 'even'});
            page.port = port;
            page.reader = port.readable.getReader();
            await page.reader.read();
            return {same: chosen === port, before, twice, text, locked, unreachable,
                    ports: (await navigator.serial.getPorts()).length};""",
                           relay.url("ad"), relay.url("absent"))
        self.assertIn("1.250", states.pop("text"))
        self.assertEqual(states, {"same": True, "before": None, "twice": "InvalidStateError",
                                  "locked": "TypeError", "unreachable": "NetworkError",
                                  "ports": 1})
        self.assertEqual(relay.lines, [("ad", (2400, 7, "even", 1, "none"))] * 2)
        relay.drop("ad")
        self.assertEqual(self.step("""
            const error = await (async () => { for (;;) await page.reader.read(); })()
              .catch((e) => e.name + ': ' + e.message);
            const readable = page.port.readable;
            page.reader.releaseLock();
            await page.port.close();
            return [error, readable];"""), ["NetworkError: The device has been lost.", None])
        self.assert_page_clean()

    def test_serial_auto_finds_each_scale_at_its_own_line(self):
        # A continuous scale at 2400 7E1 and a polled one at 19200 8N1: the search opens the
        # port at line after line until one protocol reads.
        relay = self.relay(ad=self.scale("--protocol", "ad"),
                           sics=self.scale("--protocol", "mt-sics", "--line", "19200,8N1",
                                           weight="2.500"))
        self.load(self.service("--port", os.path.join(self.dir.name, "absent")))
        found = self.step(HELPERS + PICK + """
            const found = [];
            for (const [url, name] of args[0]) {
              // A search time to spare on a loaded machine: each line is a relay connection.
              const scale = await page.openSerial(url, {protocol: 'auto', name, searchMs: 20000});
              found.push(pick(await scale.stable({timeoutMs: 10000})));
              await scale.close();
            }
            return found;""", [[relay.url("ad"), "A"], [relay.url("sics"), "B"]])
        self.assertEqual(found, [
            {"port": "A", "ok": True, "value": 1.25, "unit": "kg", "protocol": "ad",
             "error": None},
            {"port": "B", "ok": True, "value": 2.5, "unit": "kg", "protocol": "mt-sics",
             "error": None}])
        for name, line in (("ad", (2400, 7, "even", 1, "none")),
                           ("sics", (19200, 8, "none", 1, "none"))):
            tried = [opened for device, opened in relay.lines if device == name]
            self.assertGreater(len(set(tried)), 1, "%s: lines tried %r" % (name, tried))
            self.assertEqual(tried[-1], line, name)
        # A speed given with auto narrows the search to that speed's lines.
        del relay.lines[:]
        self.assertEqual(self.step(HELPERS + """
            const scale = await page.openSerial(args[0], {protocol: 'auto', baud: 19200});
            const protocol = (await scale.stable({timeoutMs: 10000})).protocol;
            await scale.close();
            return protocol;""", relay.url("sics")), "mt-sics")
        self.assertEqual({line[0] for _, line in relay.lines}, {19200})
        self.assert_page_clean()

    def test_serial_named_protocol_reads_zeroes_tares_and_reports_a_refusal(self):
        scale = self.scale("--protocol", "mt-sics")
        relay = self.relay(sics=scale)
        self.load(self.service("--port", os.path.join(self.dir.name, "absent")))
        self.assertEqual(self.step(HELPERS + PICK + """
            page.scale = await page.openSerial(args[0], {protocol: 'mt-sics', name: 'COM3'});
            const first = pick(await page.scale.stable({timeoutMs: 10000}));
            await page.scale.tare();
            const tared = await page.until(page.scale, (r) => r.ok && r.value === 0 && r.stable);
            await page.scale.zero();
            return {first, tared: tared.text};""", relay.url("sics")), {
                "first": {"port": "COM3", "ok": True, "value": 1.25, "unit": "kg",
                          "protocol": "mt-sics", "error": None},
                "tared": "0.000"})
        # The acknowledged zero ended net mode: the new load shows whole, not less the tare.
        scale.command("weight 2.5")
        self.assertEqual(self.step(
            "return (await page.until(page.scale, (r) => r.value === 2.5 && r.stable)).text;"),
            "2.500")
        scale.command("commands refuse")
        self.assertEqual(self.step("await page.scale.zero();")["error"], "command-refused")
        # A scale that answers nothing: four commands wait their turn, a fifth is refused.
        scale.command("commands ignore")
        self.assertEqual(sorted(self.step("""
            const asked = [1, 2, 3, 4, 5].map(() => page.scale.zero().then(() => 'zeroed', (e) => e.code));
            return Promise.all(asked);""")), ["no-answer"] * 4 + ["too-many-commands"])
        # close() lets the port go: the page can open it again.
        self.assertEqual(self.step("""
            await page.scale.close();
            const readable = page.port.readable;
            await page.port.open({baudRate: 9600});
            await page.port.close();
            return readable;"""), None)
        # A named protocol opens its own line, and searches nothing.
        self.assertEqual(relay.lines, [("sics", (9600, 8, "none", 1, "none")),
                                       ("sics", (9600, 8, "none", 1, "none"))])
        self.assert_page_clean()

    def test_serial_device_vanishing_mid_read_ends_in_read_failed(self):
        # The scale's pseudo-terminal goes away (unplugged), or the relay's socket drops.
        scales = {"sics": self.scale("--protocol", "mt-sics"), "ad": self.scale("--protocol", "ad")}
        relay = self.relay(**scales)
        self.load(self.service("--port", os.path.join(self.dir.name, "absent")))
        for name, protocol, vanish in (("sics", "mt-sics", lambda: scales["sics"].command("vanish")),
                                       ("ad", "ad", lambda: relay.drop("ad"))):
            self.step(HELPERS + """
                page.scale = await page.openSerial(args[0], {protocol: args[1]});
                await page.scale.stable({timeoutMs: 10000});""", relay.url(name), protocol)
            vanish()
            ended = self.step("""
                await page.until(page.scale, (r) => !r.ok && r.error === 'read-failed');
                await new Promise((r) => setTimeout(r, 300));
                const latest = page.scale.latest;
                const failed = page.readings.filter((r) => r.error === 'read-failed').length;
                const zero = await page.scale.zero().then(() => 'zeroed', (e) => e.code);
                await page.scale.close();
                return {ok: latest.ok, error: latest.error, failed, zero,
                        more: page.readings.length - page.readings.indexOf(latest) - 1};""")
            self.assertEqual(ended, {"ok": False, "error": "read-failed", "failed": 1,
                                     "zero": "no-answer", "more": 0}, name)
        self.assert_page_clean()

    def test_serial_garbage_and_cut_records_never_give_a_wrong_weight(self):
        scale = self.scale("--protocol", "ad")
        relay = self.relay(ad=scale)
        self.load(self.service("--port", os.path.join(self.dir.name, "absent")))
        self.step(HELPERS + """
            page.scale = await page.openSerial(args[0], {protocol: 'ad'});
            await page.scale.stable({timeoutMs: 10000});""", relay.url("ad"))
        noise = random.Random(27)
        chunks = [[noise.randrange(256) for _ in range(40)] for _ in range(5)]
        chunks += [list(b"ST,+0000"), list(b"\r\n"), list(b"ST,+00001.2"), list(b"\x00\xff\r\n")]
        self.step("""
            for (const chunk of args[0]) {
              page.port.inject(chunk);
              await new Promise((r) => setTimeout(r, 30));
            }
            // A parity error loses no device: reading goes on with the next readable.
            page.port.lineError('ParityError');""", chunks)
        # The scale's own faults: digits in place of its frames, then one frame cut short.
        for mode in ("garbage", "truncated", "normal"):
            scale.command("mode " + mode)
            self.step("await page.until(page.scale, (r) => r.ok === (args[0] === 'normal'));"
                      " await new Promise((r) => setTimeout(r, 400));", mode)
        readings = self.step("""
            await page.until(page.scale, (r) => r.ok && r.stable);
            const readings = page.readings;
            await page.scale.close();
            return readings.map((r) => [r.ok, r.value, r.error ?? null]);""")
        wrong = [r for r in readings if r[0] and r[1] != 1.25 or not r[0] and r[2] != "no-reading"]
        self.assertEqual(wrong, [])
        self.assertIn([False, None, "no-reading"], readings)
        self.assertEqual(readings[-1], [True, 1.25, None])
        # The port set to a speed the scale does not send at reads noise: no weight comes of it.
        at_wrong_speed = self.step("""
            const scale = await page.openSerial(args[0], {protocol: 'ad', baud: 9600});
            await page.until(scale, (r) => !r.ok);
            await new Promise((r) => setTimeout(r, 1500));
            await scale.close();
            return page.readings.map((r) => [r.ok, r.value, r.error ?? null]);""", relay.url("ad"))
        self.assertEqual(set(map(tuple, at_wrong_speed)), {(False, None, "no-reading")})
        self.assertEqual(relay.lines[-1], ("ad", (9600, 7, "even", 1, "none")))
        self.assert_page_clean()

    def test_serial_open_failures_reject_with_their_codes(self):
        silent = self.scale("--protocol", "ad", "--mode", "silent")
        busy = self.scale("--protocol", "ad")
        relay = self.relay(silent=silent, busy=busy)
        self.load(self.service("--port", os.path.join(self.dir.name, "absent")))
        codes = self.step(HELPERS + """
            const [silent, busy, absent] = args;
            const code = (url, options) => page.openSerial(url, options).then(
              (scale) => scale.close().then(() => 'opened'), (e) => e.code);
            const codes = {
              unknown: await code(busy, {protocol: 'no-such-protocol'}),
              framing: await code(busy, {protocol: 'ad', framing: '9Z9'}),
              absentNamed: await code(absent, {protocol: 'ad'}),
              absentAuto: await code(absent, {protocol: 'auto'}),
              silent: await code(silent, {protocol: 'auto', searchMs: 1500}),
            };
            // A port the page holds open itself is not taken from it.
            const held = QelStandins.serial.add(busy);
            await held.open({baudRate: 2400, dataBits: 7, parity: 'even'});
            codes.held = await QelScale.openSerial(held, {protocol: 'ad'}).then(
              () => 'opened', (e) => e.code);
            codes.stillOpen = held.readable !== null;
            // Another port on the device while it is held: its open fails, as on a real port.
            codes.busy = await code(busy, {protocol: 'ad'});
            await held.close();
            return codes;""", relay.url("silent"), relay.url("busy"), relay.url("absent"))
        self.assertEqual(codes, {"unknown": "not-supported", "framing": "not-supported",
                                 "absentNamed": "port-unavailable",
                                 "absentAuto": "port-unavailable", "silent": "no-reading",
                                 "held": "port-unavailable", "stillOpen": True,
                                 "busy": "port-unavailable"})
        # Only the silent scale was opened, and only at lines the short search reached.
        self.assertEqual({name for name, _ in relay.lines}, {"silent", "busy"})
        self.assert_page_clean()

    def test_a_refused_token_rejects_with_its_code(self):
        scale = self.scale("--protocol", "mt-sics")
        token_file = os.path.join(self.dir.name, "token")
        with open(os.open(token_file, os.O_WRONLY | os.O_CREAT, 0o600), "w") as out:
            out.write("abcdefghijklmnop0123\n")
        service = self.service("--token-file", token_file, "--stream",
                               scale.link + "?protocol=mt-sics")
        # With a token the service serves no <script src>: the page carries the bundle.
        with open(os.path.join(PACKAGE, "qelscale.js"), encoding="utf-8") as bundle:
            self.page.content = ("<!doctype html><meta charset='utf-8'><script>%s</script>"
                                 % bundle.read())
        self.browser.get(self.page.origin)
        refused = self.step("""
            await QelScale.connect({url: args[0], port: args[1], token: 'wrong-token-0123456'});
            return 'connected';""", service.base, scale.link)
        self.assertEqual(refused["error"], "token-required")
        self.assertEqual(self.step("""
            const scale = await QelScale.connect({url: args[0], port: args[1],
                                                  token: 'abcdefghijklmnop0123'});
            const value = scale.latest.value;
            await scale.close();
            return value;""", service.base, scale.link), 1.25)
        self.assert_page_clean()


if __name__ == "__main__":
    unittest.main()
