#!/usr/bin/env python3
"""The Scale service object (Qel_weigher.OposScale) under Wine, through a Control Object of our
own (client/opos_client.cpp) against the virtual scale on COM3 speaking MT-SICS.

Shares the prefixes and the options of wine_suite.py. The client asks for changes of the scale
by printing "scale: COMMAND"; this harness hands the command to the virtual scale and answers
"ok". Exit codes: 0 passed, 1 failed, 77 skipped.
"""

import os
import queue
import shutil
import subprocess
import sys
import threading
import time

import wine_host
import wine_suite

OPOS_KEY = "HKLM\\SOFTWARE\\OLEforRetail\\ServiceOPOS\\Scale"
DEVICE = "QelTest"
ABSENT = "QelAbsent"


class OposSuite(wine_suite.Suite):
    def configure(self, arch, present):
        """The two devices in the registry view of the client's bitness, or none."""
        view = "/reg:%d" % arch.bits
        for device, port in ((DEVICE, "COM3?protocol=mt-sics"), (ABSENT, "COM250")):
            key = "%s\\%s" % (OPOS_KEY, device)
            if present:
                self.wine("reg", "add", key, "/ve", "/d", "Qel_weigher.OposScale", "/f", view)
                self.wine("reg", "add", key, "/v", "Port", "/d", port, "/f", view)
            else:
                self.wine("reg", "delete", key, "/f", view, check=False)

    def test_opos(self):
        self.register_all()
        for arch in self.arches:
            self.start_scale("1.234", protocol="mt-sics")
            self.configure(arch, True)
            try:
                self.run_client(arch)
            finally:
                self.configure(arch, False)

    def run_client(self, arch):
        self.start_session()
        limit = wine_host.timeout_for(arch.bits, 300)
        client = subprocess.Popen([arch.loader, arch.client("qel_opos_client"), DEVICE, ABSENT],
                                  env=self.env(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT)
        lines = queue.Queue()

        def read():
            for line in client.stdout:
                lines.put(line)
            lines.put(None)  # the end of its output
        threading.Thread(target=read, daemon=True).start()
        deadline = time.time() + limit
        try:
            while True:
                try:
                    line = lines.get(timeout=max(1, deadline - time.time()))
                except queue.Empty:
                    raise wine_host.Failure("%d-bit OPOS client: no end after %d s"
                                            % (arch.bits, limit))
                if line is None:
                    break
                text = line.decode("utf-8", "replace").rstrip()
                print(text, flush=True)
                if text.startswith("scale: "):
                    self.scale.stdin.write(text[len("scale: "):].encode() + b"\n")
                    self.scale.stdin.flush()
                    client.stdin.write(b"ok\n")
                    client.stdin.flush()
            code = client.wait(timeout=30)
        finally:
            if client.poll() is None:
                client.kill()
                client.wait()
        self.expect(code == 0, "%d-bit test Control Object: open, claim, enable, reads, events, "
                    "zero, tare, out of range, release" % arch.bits)


def main():
    import argparse
    parser = argparse.ArgumentParser()
    for option in ("--prefix", "--scale", "--win32", "--win64", "--scripts", "--examples"):
        parser.add_argument(option, required=True)
    parser.add_argument("--source", default=os.path.join(os.path.dirname(__file__), "..", ".."))
    parser.add_argument("--subset32", action="store_true")
    parser.add_argument("test", choices=["opos"])
    args = parser.parse_args()
    if not os.path.exists(wine_host.WINE64) or not shutil.which("wineserver"):
        print("SKIP: wine is not installed")
        return wine_host.SKIP
    mode, reason = wine_host.i386_support()
    if args.subset32 and mode == "skip":
        return wine_host.skip_32bit(reason)
    missing = wine_host.missing_windows_build((args.win32, args.win64))
    if missing is not None:
        return missing
    ready = os.path.isdir(os.path.join(args.prefix, "drive_c"))
    return wine_host.run_in_prefix(args.prefix, ready, lambda: OposSuite(args), args.test,
                                   lambda suite: suite.test_opos)


if __name__ == "__main__":
    sys.exit(main())
