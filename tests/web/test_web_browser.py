"""The browser bundle in headless Chromium: a page on another origin loads /qelscale.js from
the service with a plain <script src>, then reads an MT-SICS virtual scale through
QelScale.connect: readings, stable(), zero and tare, and a refused command's code. The
example page in examples/web/ does the same through its buttons.

Exits 77 (skipped) only when Chromium, its driver or Selenium is not installed.
"""
import os
import shutil
import urllib.parse
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "service"))
from browser_harness import ARTIFACTS, PageServer, chromium  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402
from service_harness import Service, VirtualScale  # noqa: E402

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "web",
                       "index.html")

PAGE = """<!doctype html><meta charset="utf-8"><title>qelscale</title>
<script src="%sqelscale.js"></script><body>loaded</body>"""

# Runs in the page: arguments[0] is the service's address, arguments[1] the port; answers
# with what happened, or "error CODE" when a step rejected.
SCRIPT = """const done = arguments[arguments.length - 1];
const [url, port, step] = arguments;
(async () => {
  if (step === 'connect') {
    window.scale = await QelScale.connect({url, port});
    window.events = 0;
    scale.addEventListener('reading', (e) => { window.events++; window.last = e.detail; });
    const first = scale.latest;
    const stable = await scale.stable({timeoutMs: 5000});
    return {first: first.protocol, stable: stable.value, unit: stable.unit,
            isTarget: scale instanceof EventTarget};
  }
  if (step === 'commands') {
    await scale.tare();
    await scale.zero();
    return 'ok';
  }
  if (step === 'tare') {
    await scale.tare();
    return 'ok';
  }
  if (step === 'close') {
    await scale.close();
    return {events: window.events, last: window.last && window.last.value};
  }
})().then(done, (e) => done('error ' + e.code));
"""


class WebBundleTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.scale = VirtualScale(self.dir.name, "--protocol", "mt-sics", weight="1.250")
        self.addCleanup(self.scale.close)
        self.page = PageServer()
        self.addCleanup(self.page.close)
        self.service = Service("--stream", self.scale.link + "?protocol=mt-sics",
                               "--allow-origin", self.page.origin)
        self.addCleanup(self.service.close)
        self.page.content = PAGE % self.service.base
        self.browser, profile = chromium()
        self.addCleanup(shutil.rmtree, profile, True)
        self.addCleanup(self.browser.quit)
        self.browser.set_script_timeout(20)

    def run_step(self, step):
        return self.browser.execute_async_script(SCRIPT, self.service.base, self.scale.link, step)

    def test_connect_reads_zeroes_tares_and_reports_a_refusal(self):
        self.browser.get(self.page.origin)
        try:
            self.assertEqual(self.browser.execute_script("return typeof QelScale.connect"),
                             "function")
            self.assertEqual(self.run_step("connect"), {"first": "mt-sics", "stable": 1.25,
                                                       "unit": "kg", "isTarget": True})
            self.assertEqual(self.run_step("commands"), "ok")
            self.scale.command("commands refuse")
            self.assertEqual(self.run_step("tare"), "error command-refused")
            self.scale.command("commands ack")
            self.scale.command("weight 2.5")
            closed = self.run_step("close")
            self.assertGreater(closed["events"], 0)
        except Exception:
            self.browser.save_screenshot(os.path.join(ARTIFACTS, "qelscale-bundle-failure.png"))
            raise
        # The refused tare's 502 shows as a network error; a script error would not be one.
        logs = [entry for entry in self.browser.get_log("browser")
                if entry.get("level") == "SEVERE" and entry.get("source") != "network"]
        self.assertEqual(logs, [])

    def test_the_example_page_reads_waits_and_reports_a_refusal(self):
        with open(EXAMPLE, encoding="utf-8") as example:
            self.page.content = example.read().replace("http://127.0.0.1:8778/", self.service.base)
        self.browser.get(self.page.origin + "/?" + urllib.parse.urlencode(
            {"url": self.service.base, "port": self.scale.link}))
        text = lambda element: self.browser.find_element(By.ID, element).text  # noqa: E731
        wait = WebDriverWait(self.browser, 15, poll_frequency=0.05)
        try:
            self.browser.find_element(By.ID, "open").click()
            wait.until(lambda b: text("weight") == "1.250" and text("unit") == "kg")
            self.browser.find_element(By.ID, "stable").click()
            wait.until(lambda b: text("error") == "stable: 1.250 kg")
            self.scale.command("commands refuse")
            self.browser.find_element(By.ID, "zero").click()
            wait.until(lambda b: text("error").startswith("command-refused"))
        except Exception:
            self.browser.save_screenshot(os.path.join(ARTIFACTS, "qelscale-example-failure.png"))
            raise AssertionError("the example shows %r / %r" % (text("weight"), text("error")))


if __name__ == "__main__":
    unittest.main()
