"""A real browser on the service's page: headless Chromium from Debian, driven by Selenium,
sees the weight, a change, the stable mark, the error when the scale hangs up and the
recovery when it returns. A page on a foreign origin fails to read the weight.

Exits 77 (skipped) only when Chromium, its driver or Selenium is not installed.
"""
import http.server
import os
import shutil
import sys
import tempfile
import threading
import unittest
import urllib.parse

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service as DriverService
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("skipped: python3-selenium is not installed")
    sys.exit(77)

from service_harness import Service, VirtualScale

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver") or (
    "/usr/bin/chromedriver" if os.path.exists("/usr/bin/chromedriver") else None)
if not CHROMIUM or not DRIVER:
    print("skipped: chromium or chromium-driver is not installed")
    sys.exit(77)

ARTIFACTS = os.environ.get("QEL_BROWSER_ARTIFACTS", tempfile.gettempdir())

FOREIGN_PAGE = """<!doctype html><meta charset="utf-8"><title>foreign</title>
<body><pre id="fetch">pending</pre><pre id="ws">pending</pre><script>
const base = %(base)s, port = %(port)s;
fetch(base + "v1/weight?port=" + encodeURIComponent(port))
  .then(r => r.json()).then(j => { document.getElementById("fetch").textContent = "read " + j.value; })
  .catch(e => { document.getElementById("fetch").textContent = "failed " + e; });
const ws = new WebSocket(base.replace("http", "ws") + "v1/stream?port=" + encodeURIComponent(port));
ws.onmessage = (e) => { document.getElementById("ws").textContent = "read " + e.data; };
ws.onclose = () => { const el = document.getElementById("ws");
  if (el.textContent === "pending") el.textContent = "failed"; };
</script></body>"""


def chromium():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    profile = tempfile.mkdtemp(prefix="qel-chromium-")
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--disable-dev-shm-usage", "--window-size=900,700",
                 "--user-data-dir=" + profile]:
        options.add_argument(flag)
    browser = webdriver.Chrome(service=DriverService(executable_path=DRIVER), options=options)
    browser.set_page_load_timeout(30)
    return browser, profile


class BrowserTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.scale = VirtualScale(self.dir.name, weight="1.25")
        self.addCleanup(self.scale.close)
        self.service = Service("--stream", self.scale.link, "--stable-ms", "1500")
        self.addCleanup(self.service.close)
        self.browser, profile = chromium()
        self.addCleanup(shutil.rmtree, profile, True)
        self.addCleanup(self.browser.quit)

    def wait(self, condition, what, timeout=15):
        try:
            return WebDriverWait(self.browser, timeout, poll_frequency=0.05).until(
                lambda b: condition())
        except Exception:
            self.browser.save_screenshot(os.path.join(ARTIFACTS, "qelscaled-page-failure.png"))
            raise AssertionError("the page never showed %s; it shows %r (%s)" % (
                what, self.text("weight"), self.browser.find_element(By.TAG_NAME, "body")
                .get_attribute("outerHTML")[:300]))

    def text(self, element_id):
        return self.browser.find_element(By.ID, element_id).text

    def body(self, attribute):
        return self.browser.find_element(By.TAG_NAME, "body").get_attribute("data-" + attribute)

    def test_the_page_follows_the_scale(self):
        self.browser.get(self.service.base + "?port=" + urllib.parse.quote(self.scale.link))
        self.assertEqual(self.browser.title, "qelscaled")
        self.wait(lambda: self.text("value") == "1.250", "the weight 1.250")
        self.wait(lambda: self.body("stable") == "true" and self.text("stable") == "stable",
                  "the stable mark")
        self.browser.save_screenshot(os.path.join(ARTIFACTS, "qelscaled-page.png"))

        self.scale.command("weight 7.5")
        self.wait(lambda: self.text("value") == "7.500", "the new weight 7.500")
        self.assertNotEqual(self.body("stable"), "true",
                            "a weight that just changed cannot be stable yet")
        self.wait(lambda: self.body("stable") == "true", "the stable mark after settling")

        self.scale.command("vanish")
        # read-failed, then port-unavailable while the device stays away (100 ms later)
        self.wait(lambda: self.body("state") == "error" and (
            "read-failed" in self.text("error") or "port-unavailable" in self.text("error")),
            "the error when the scale hangs up")
        self.assertEqual(self.text("value"), "–")
        self.assertNotEqual(self.body("stable"), "true")
        self.browser.save_screenshot(os.path.join(ARTIFACTS, "qelscaled-page-error.png"))

        self.scale.command("appear")
        self.wait(lambda: self.body("state") == "ok" and self.text("value") == "7.500",
                  "the recovery")
        self.wait(lambda: self.body("stable") == "true", "the stable mark after recovery")
        self.assertEqual(self.text("error"), "")

    def test_the_port_picker_reads_an_on_demand_port(self):
        other = VirtualScale(self.dir.name, weight="3.125")
        self.addCleanup(other.close)
        live = VirtualScale(self.dir.name, weight="1.25")  # setUp's service holds self.scale
        self.addCleanup(live.close)
        service = Service("--stream", live.link, "--port", other.link)
        self.addCleanup(service.close)
        self.browser.get(service.base)
        self.wait(lambda: self.text("value") == "1.250", "the stream port first")
        from selenium.webdriver.support.ui import Select
        Select(self.browser.find_element(By.ID, "port")).select_by_value(other.link)
        self.wait(lambda: self.text("value") == "3.125", "the on-demand reading")
        self.assertEqual(self.text("stable"), "on demand")
        other.command("weight 4.5")
        self.browser.find_element(By.ID, "read").click()
        self.wait(lambda: self.text("value") == "4.500", "a new reading on request")

    def test_a_page_on_a_foreign_origin_cannot_read_the_weight(self):
        content = FOREIGN_PAGE % {"base": '"%s"' % self.service.base,
                                  "port": '"%s"' % self.scale.link}

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                body = content.encode()
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        # The same machine, another origin (another port): what a malicious site would be.
        self.browser.get("http://127.0.0.1:%d/" % server.server_address[1])
        self.wait(lambda: self.text("fetch") != "pending" and self.text("ws") != "pending",
                  "both attempts finished")
        self.assertTrue(self.text("fetch").startswith("failed"), self.text("fetch"))
        self.assertEqual(self.text("ws"), "failed")
        metrics = self.service.request("/metrics")[2].decode()
        refused = [line for line in metrics.splitlines()
                   if line.startswith('qelscaled_rejected_requests_total{reason="origin-not-allowed"}')]
        self.assertEqual(len(refused), 1, metrics)
        self.assertGreaterEqual(int(refused[0].split()[-1]), 2)  # the fetch and the WebSocket


if __name__ == "__main__":
    unittest.main()
