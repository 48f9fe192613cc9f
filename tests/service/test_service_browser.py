"""A real browser on the service's page: headless Chromium from Debian, driven by Selenium,
sees the weight, a change, the stable mark, the error when the scale hangs up and the
recovery when it returns. A page on a foreign origin fails to read the weight.

Exits 77 (skipped) only when Chromium, its driver or Selenium is not installed.
"""
import os
import shutil
import tempfile
import unittest
import urllib.parse

from browser_harness import ARTIFACTS, PageServer, chromium, reader_page
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait
from service_harness import Service, VirtualScale


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

    def test_zero_and_tare_from_the_page(self):
        sma = VirtualScale(self.dir.name, "--protocol", "sma", "--decimals", "2", weight="2.5")
        self.addCleanup(sma.close)
        service = Service("--stream", sma.link + "?protocol=sma", "--stream", self.dir.name +
                          "/none?protocol=cas")
        self.addCleanup(service.close)
        self.browser.get(service.base + "?port=" + urllib.parse.quote(sma.link))
        self.wait(lambda: self.text("value") == "2.50" and self.text("unit") == "kg",
                  "the scale's own decimals and unit")
        self.assertIn("sma", self.text("mode"))
        self.assertEqual(self.text("net"), "gross")
        self.browser.find_element(By.ID, "tare").click()
        self.wait(lambda: self.text("command-result") == "tare: done", "the tare acknowledged")
        self.wait(lambda: self.text("value") == "0.00" and self.text("net") == "net",
                  "the net weight after the tare")
        sma.command("commands refuse")
        self.browser.find_element(By.ID, "zero").click()
        self.wait(lambda: self.text("command-result") == "zero: command-refused",
                  "the refusal shown")
        # A protocol without commands shows no buttons.
        from selenium.webdriver.support.ui import Select
        Select(self.browser.find_element(By.ID, "port")).select_by_value(self.dir.name + "/none")
        self.wait(lambda: not self.browser.find_element(By.ID, "zero").is_displayed() and
                  not self.browser.find_element(By.ID, "tare").is_displayed(), "no buttons")

    def test_a_page_on_a_foreign_origin_cannot_read_the_weight(self):
        page = PageServer(reader_page(self.service.base, self.scale.link))
        self.addCleanup(page.close)
        # The same machine, another origin (another port): what a malicious site would be.
        self.browser.get(page.origin + "/")
        self.wait(lambda: self.text("fetch") != "pending" and self.text("ws") != "pending",
                  "both attempts finished")
        self.assertTrue(self.text("fetch").startswith("failed"), self.text("fetch"))
        self.assertEqual(self.text("ws"), "failed")
        metrics = self.service.request("/metrics")[2].decode()
        refused = [line for line in metrics.splitlines()
                   if line.startswith('qelscaled_rejected_requests_total{reason="origin-not-allowed"}')]
        self.assertEqual(len(refused), 1, metrics)
        self.assertGreaterEqual(int(refused[0].split()[-1]), 2)  # the fetch and the WebSocket

    def test_an_image_tag_on_another_page_starts_no_wait(self):
        # No Origin on an <img>: the browser's Sec-Fetch-Site is what gives it away.
        wait = "%sv1/weight?port=%s&stable=1&timeout_ms=60000" % (
            self.service.base, urllib.parse.quote(self.scale.link, safe=""))
        page = PageServer('<img id="probe" src="%s" alt="">' % wait)
        self.addCleanup(page.close)
        self.browser.get(page.origin + "/")
        self.wait(lambda: "cross-site-not-allowed" in self.service.request("/metrics")[2].decode(),
                  "the image request refused", timeout=10)

    def test_a_token_in_the_address_is_dropped_from_it(self):
        # The page reads the token (its fetches and its WebSocket offer it; this service needs
        # none), under the page's own Content-Security-Policy, then replaceState takes it out
        # of the address and the history entry.
        token = "s3cret-token-0123456789abcdef"
        self.browser.get(self.service.base + "?port=" + urllib.parse.quote(self.scale.link) +
                         "#token=" + token)
        self.wait(lambda: self.text("value") == "1.250", "the weight")
        self.assertNotIn(token, self.browser.current_url)
        self.assertEqual(self.browser.execute_script("return location.hash"), "")
        self.browser.refresh()  # the tab keeps it, as it keeps a typed one
        self.wait(lambda: self.text("value") == "1.250", "the weight after a reload")
        self.assertEqual(self.browser.execute_script(
            "return sessionStorage.getItem('qelscaled-token')"), token)

    def test_with_a_token_file_the_login_also_loads_the_package(self):
        # Once the user answered the page's 401 with the token as password, the browser sends
        # the same credentials with /qelscale.js and the page's requests; it then reads with
        # nothing typed into it, and Zero goes out (the cached login is no command signal, the
        # page's JSON type is).
        token = "s3cret-token-0123456789abcdef"
        path = os.path.join(self.dir.name, "token")
        with open(path, "w") as stream:
            stream.write(token + "\n")
        os.chmod(path, 0o600)
        sma = VirtualScale(self.dir.name, "--protocol", "sma", "--decimals", "2", weight="2.5")
        self.addCleanup(sma.close)
        service = Service("--stream", sma.link + "?protocol=sma", "--token-file", path)
        self.addCleanup(service.close)
        # The login prompt's stand-in: an address with the credentials fills the browser's
        # cache; the clean address is what the user then has (with credentials still in it,
        # Chromium sends them to no subresource unasked).
        self.browser.get("http://cashier:%s@%s/" % (token, service.hostport))
        self.browser.get(service.base)
        self.wait(lambda: self.text("value") == "2.50", "the weight through the login")
        self.browser.find_element(By.ID, "zero").click()
        self.wait(lambda: self.text("command-result") == "zero: done", "the zero acknowledged")
        self.assertFalse(self.browser.find_element(By.ID, "token-box").is_displayed())

    def test_without_the_package_the_page_says_so(self):
        self.browser.execute_cdp_cmd("Network.enable", {})
        self.browser.execute_cdp_cmd("Network.setBlockedURLs", {"urls": ["*/qelscale.js"]})
        self.browser.get(self.service.base + "?port=" + urllib.parse.quote(self.scale.link))
        self.wait(lambda: self.text("error") == "cannot load /qelscale.js", "the missing package")
        self.assertEqual(self.body("state"), "error")
        self.assertEqual(self.text("value"), "–")

if __name__ == "__main__":
    unittest.main()
