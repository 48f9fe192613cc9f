"""WebSerial and WebHID in headless Chromium, through stand-ins: Chromium has no virtual serial
or HID device, so standins.js puts navigator.serial and navigator.hid into the page before it
loads. The serial stand-in reaches the virtual scale's pseudo-terminal through serial_relay.py,
which sets the line each open() asks for; the HID stand-in sends recorded USB scale reports.
Also the bad cases: garbage, a cut record, a device that vanishes mid-read, a refused token.
Each ends in the documented error or reading, with no unhandled rejection in the page.

Exits 77 (skipped) only when Chromium, its driver or Selenium is not installed.
"""
import os
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "service"))
from browser_harness import ARTIFACTS, PageServer, chromium  # noqa: E402
from serial_relay import SerialRelay  # noqa: E402
from service_harness import Service, VirtualScale, wait_until  # noqa: E402

PACKAGE = os.environ.get("QELSCALE_PACKAGE", "")

PAGE = """<!doctype html><meta charset="utf-8"><title>devices</title>
<script src="%sqelscale.js"></script><body>loaded</body>"""

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
  page.readings = [];
  scale.addEventListener('reading', (e) => page.readings.push(e.detail));
};
"""

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
        cls.page.close()
        cls.browser.quit()
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
