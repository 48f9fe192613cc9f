"""Headless Chromium from Debian under Selenium, and small pages served from loopback, for the
browser tests. Importing it exits 77 (skipped) when Chromium, its driver or Selenium is missing.
"""
import http.server
import json
import os
import shutil
import sys
import tempfile
import threading

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service as DriverService
except ImportError:
    print("skipped: python3-selenium is not installed")
    sys.exit(77)

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver") or (
    "/usr/bin/chromedriver" if os.path.exists("/usr/bin/chromedriver") else None)
if not CHROMIUM or not DRIVER:
    print("skipped: chromium or chromium-driver is not installed")
    sys.exit(77)

ARTIFACTS = os.environ.get("QEL_BROWSER_ARTIFACTS", tempfile.gettempdir())

# A page elsewhere that reads the weight once over HTTP and once over WebSocket; `headers` go
# with the fetch, `protocols` with the WebSocket.
READER_PAGE = """<!doctype html><meta charset="utf-8"><title>reader</title>
<body><pre id="fetch">pending</pre><pre id="ws">pending</pre><script>
const base = %(base)s, port = %(port)s;
fetch(base + "v1/weight?port=" + encodeURIComponent(port), {headers: %(headers)s})
  .then(r => r.json()).then(j => { document.getElementById("fetch").textContent = "read " + j.value; })
  .catch(e => { document.getElementById("fetch").textContent = "failed " + e; });
const ws = new WebSocket(base.replace("http", "ws") + "v1/stream?port=" + encodeURIComponent(port),
                         %(protocols)s);
ws.onmessage = (e) => { document.getElementById("ws").textContent = "read " + e.data; };
ws.onclose = () => { const el = document.getElementById("ws");
  if (el.textContent === "pending") el.textContent = "failed"; };
</script></body>"""


def reader_page(base, port, headers=None, protocols=None):
    return READER_PAGE % {"base": json.dumps(base), "port": json.dumps(port),
                          "headers": json.dumps(headers or {}),
                          "protocols": json.dumps(protocols or [])}


def chromium(*flags):
    """A headless Chromium with a profile of its own; returns it and the profile's folder."""
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    profile = tempfile.mkdtemp(prefix="qel-chromium-")
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--disable-dev-shm-usage", "--window-size=900,700",
                 "--user-data-dir=" + profile, *flags]:
        options.add_argument(flag)
    browser = webdriver.Chrome(service=DriverService(executable_path=DRIVER), options=options)
    browser.set_page_load_timeout(30)
    return browser, profile


class PageServer:
    """One page on a free loopback port, in a thread; set `content` before it is asked for."""

    def __init__(self, content=""):
        self.content = content
        page = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                body = page.content.encode()
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.origin = "http://127.0.0.1:%d" % self.port
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
