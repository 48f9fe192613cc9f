"""Local Network Access: a page Chromium counts as public (its address is declared public with
--ip-address-space-overrides, so nothing leaves loopback) reads the weight from the service over
HTTP and WebSocket once the permission is granted, by DevTools or by the enterprise policy an
integrator deploys, and is refused by the browser without it.

Exits 77 (skipped) only when Chromium, its driver or Selenium is not installed.
"""
import json
import os
import shutil
import tempfile
import time
import unittest

from browser_harness import PageServer, chromium, reader_page
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.common.by import By
from service_harness import Service, VirtualScale

POLICY_DIR = "/etc/chromium/policies/managed"
TOKEN = "lna-test-token-0123456789abcdef"


class LocalNetworkAccessTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.scale = VirtualScale(self.dir.name, weight="2.5")
        self.addCleanup(self.scale.close)
        self.page = PageServer()
        self.addCleanup(self.page.close)

    def start_service(self, *args):
        service = Service("--stream", self.scale.link, "--allow-origin", self.page.origin, *args)
        self.addCleanup(service.close)
        return service

    def open_public_page(self, grant=None):
        """Chromium with the page's address in the public space; `grant` runs before the page
        loads."""
        browser, profile = chromium("--ip-address-space-overrides=127.0.0.1:%d=public"
                                    % self.page.port)
        self.addCleanup(shutil.rmtree, profile, True)
        self.addCleanup(browser.quit)
        if grant:
            grant(browser)
        browser.get(self.page.origin + "/")
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            results = [browser.find_element(By.ID, name).text for name in ("fetch", "ws")]
            if "pending" not in results:
                return results
            time.sleep(0.1)
        self.fail("the page never finished: %r" % results)

    def grant_over_devtools(self, browser):
        # Chromium split the permission by target: loopback-network is the one for 127.0.0.1;
        # local-network-access is its name before the split.
        for name in ("loopback-network", "local-network-access"):
            try:
                browser.execute_cdp_cmd("Browser.setPermission", {
                    "permission": {"name": name}, "setting": "granted",
                    "origin": self.page.origin})
                return
            except WebDriverException as error:
                last = error
        raise last

    def assert_read(self, results):
        fetched, streamed = results
        self.assertEqual(fetched, "read 2.5")
        self.assertTrue(streamed.startswith("read "), streamed)
        self.assertEqual(json.loads(streamed[len("read "):])["value"], 2.5)

    def test_without_the_permission_the_browser_refuses_both(self):
        service = self.start_service()
        self.page.content = reader_page(service.base, self.scale.link)
        fetched, streamed = self.open_public_page()
        self.assertTrue(fetched.startswith("failed"), fetched)
        self.assertEqual(streamed, "failed")
        # The browser stopped them: the service, which allows this origin, refused nothing.
        metrics = service.request("/metrics")[2].decode()
        self.assertNotIn("qelscaled_rejected_requests_total{", metrics)

    def test_granted_over_devtools_it_reads_with_the_token(self):
        # The Authorization header makes the fetch non-simple: a CORS preflight goes first.
        token_file = os.path.join(self.dir.name, "token")
        with open(token_file, "w") as out:
            out.write(TOKEN)
        os.chmod(token_file, 0o600)
        service = self.start_service("--token-file", token_file)
        self.page.content = reader_page(service.base, self.scale.link,
                                        headers={"Authorization": "Bearer " + TOKEN},
                                        protocols=["qelscale", "token." + TOKEN])
        self.assert_read(self.open_public_page(grant=self.grant_over_devtools))

    def test_granted_by_the_enterprise_policy_it_reads(self):
        if os.geteuid() != 0:
            self.skipTest("writing Chromium's managed policy needs root")
        service = self.start_service()
        self.page.content = reader_page(service.base, self.scale.link)
        self.install_policy({"LocalNetworkAccessAllowedForUrls": [self.page.origin]})
        self.assert_read(self.open_public_page())

    def install_policy(self, policy):
        """A managed policy file for this test's origin only, removed with what it created."""
        created = []
        folder = POLICY_DIR
        while not os.path.isdir(folder):
            created.append(folder)
            folder = os.path.dirname(folder)
        for folder in reversed(created):
            os.mkdir(folder, 0o755)
            self.addCleanup(os.rmdir, folder)
        path = os.path.join(POLICY_DIR, "qel-lna-test-%d.json" % self.page.port)
        with open(path, "w") as out:
            json.dump(policy, out)
        self.addCleanup(os.remove, path)


if __name__ == "__main__":
    unittest.main()
