#!/usr/bin/env python3
"""Qel_weigher.msi under Wine's msiexec, the way a fleet's administrator deploys it.

  setup  makes the test's own 64-bit Wine prefix, once per build folder (later runs reuse it)
  run    in that prefix, from a clean state:
         1. regsvr32 registers the DLLs at the places the MSI installs them to: the reference
            registration, then unregisters them (nothing may be left);
         2. an older version of the package (same UpgradeCode, lower version, other
            ProductCode) is installed silently and its 64-bit VBScript example reads the scale;
         3. the current package is installed silently over it: a major upgrade. Only the new
            product remains; its registry entries are exactly those regsvr32 wrote; a 64-bit
            VBScript client reads the virtual scale;
         4. repair puts back a deleted DLL and a deleted registry key;
         5. uninstall: creating the object fails, and no file and no registry key is left.
  service in a prefix of its own, made anew each run: the weight service as the package
         installs it, under Wine's service manager. The first install there is with
         QELSCALED_ARGS: stored and running, the page and /v1/weight read the virtual scale
         on COM3, its log reaches the event log; net stop / net start; killed; an upgrade
         keeps the arguments; uninstall removes the service, its settings and its files.
         Then without arguments: installed and not started. A service that cannot be
         created fails the install and leaves nothing. The package's service tables
         (recovery included, which Wine's installer skips) are read with msiinfo.
  opos   in the same prefix: installed with OPOS_PORT, the OPOS device QelScale is in both
         registry views and the test Control Object (tests/wine/client/opos_client.cpp) reads
         the virtual MT-SICS scale through it; an upgrade without OPOS_PORT keeps it;
         uninstall leaves no OPOS key.
  read32 in the same prefix: the current package installed, a 32-bit VBScript client reads the
         virtual scale, uninstalled leaving the state as it was. Its own test, so that where
         no 32-bit code runs it is counted as skipped rather than passed.

Everything runs with the 64-bit loader (wine64) and the 64-bit msiexec, reg and cscript. Only
the one 32-bit VBScript read (and, where 32-bit code runs natively, the 32-bit regsvr32 of the
reference) needs 32-bit code: QEL_WIN32_RUN says whether it runs natively ("native", the
default), under emulation ("emulated": slow, given more time) or not at all ("skip:<reason>":
read32 then exits 77, skipped). Without the 32-bit regsvr32, the 32-bit registry view
is compared with the 64-bit reference moved to the 32-bit view and the 32-bit DLL's path.

Exit codes: 0 passed, 1 failed, 77 skipped (no Wine, wixl, Windows build or prefix).
"""

import argparse
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "wine"))
import wine_host  # noqa: E402  (the loaders, the Wine session and the scale)

SKIP = wine_host.SKIP
WINE64 = wine_host.WINE64
WINE32 = wine_host.WINE32
WINE_TIMEOUT = wine_host.WineSession.WINE_TIMEOUT

OLD_VERSION = "3.9.0"
PROGID = "qel_weigher.qelscale"
SYSTEM32 = "C:\\windows\\system32\\"
MSIEXEC = SYSTEM32 + "msiexec.exe"
PATH64 = "C:\\Program Files\\Qel_weigher\\Qel_weigher.dll"
PATH32 = "C:\\Program Files (x86)\\Qel_weigher\\Qel_weigher.dll"
CLASSES = "software\\classes\\"
WOW = CLASSES + "wow6432node\\"
# Registry keys and files Wine itself changes while it runs, whatever the test does.
REG_NOISE = ("software\\microsoft\\windows nt\\currentversion\\networkcards",
             "system\\currentcontrolset\\control\\class\\",
             "system\\currentcontrolset\\enum\\",
             "system\\currentcontrolset\\services\\",
             "software\\wine\\", "hardware\\", "hkcu\\software\\wine\\",
             "hkcu\\console")
# The Windows Installer's own containers, made on its first use in a prefix (every Windows
# has them): left empty, they are not the product's.
INSTALLER_KEYS = (CLASSES + "installer\\features", CLASSES + "installer\\products",
                  CLASSES + "installer\\upgradecodes",
                  "software\\microsoft\\windows\\currentversion\\installer\\upgradecodes",
                  "software\\microsoft\\windows\\currentversion\\installer\\userdata\\"
                  "s-1-5-18\\components",
                  "software\\microsoft\\windows\\currentversion\\installer\\userdata\\"
                  "s-1-5-18\\products")
INSTALLER_DIR = "windows/installer/"
SERVICE = "qelscaled"
ARGUMENTS_KEY = "HKLM\\Software\\Qel_weigher\\qelscaled"
EVENT_SOURCE_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\qelscaled"
# The OPOS device the package makes with OPOS_PORT, under HKLM in each view (lower case).
OPOS_DEVICE_KEY = "oleforretail\\serviceopos\\scale\\qelscale"
FILE_NOISE = re.compile(r"(windows/temp|windows/logs|users/[^/]+/(temp|appdata/local/temp))/")


def win32_mode():
    """How 32-bit Windows code runs here: ("native"|"emulated", None) or ("skip", reason).

    QEL_WIN32_RUN says it when set; otherwise the Wine tests' own probe (tests/wine/wine_host)
    where there is one, else native."""
    value = os.environ.get("QEL_WIN32_RUN", "").strip()
    if not value:
        mode, reason = wine_host.i386_support()
        return (mode, None) if mode != "skip" else (mode, reason or "no reason given")
    if value in ("native", "emulated"):
        return value, None
    if value == "skip" or value.startswith("skip:"):
        return "skip", value[5:].strip() or "no reason given"
    raise SystemExit("QEL_WIN32_RUN=%r: expected native, emulated or skip:<reason>" % value)


Failure = wine_host.Failure
windows_path = wine_host.windows_path


def packed_guid(guid):
    """The form of a GUID the installer's registry keys use."""
    hex_digits = guid.strip("{}").replace("-", "").upper()
    swapped = "".join(hex_digits[i + 1] + hex_digits[i] for i in range(16, 32, 2))
    return hex_digits[7::-1] + hex_digits[11:7:-1] + hex_digits[15:11:-1] + swapped


def unescape(text):
    out, i = [], 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            out.append(text[i + 1])
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def parse_reg(path, root=""):
    """A Wine registry file as {key (lower case): {value name (lower case, "" default): data}}."""
    keys = {}
    current = None
    pending = ""
    with open(path, encoding="utf-8", errors="replace") as handle:
        for raw in handle:
            line = pending + raw.rstrip("\n")
            pending = ""
            if line.endswith("\\") and current is not None and not line.startswith("["):
                pending = line[:-1].strip() if pending else line[:-1]
                continue
            if line.startswith("["):
                name = line[1:line.rindex("]")]
                current = keys.setdefault(root + unescape(name).lower(), {})
            elif current is None or not line or line.startswith("#") or line.startswith(";"):
                continue
            elif line.startswith("@="):
                current[""] = line[2:]
            elif line.startswith('"'):
                end = line.index('"=', 1)
                current[unescape(line[1:end]).lower()] = line[end + 2:]
    return keys


def string_data(data):
    return unescape(data[1:-1]) if data.startswith('"') and data.endswith('"') else data


class MsiSuite(wine_host.WineSession):
    def __init__(self, args):
        super().__init__(args.prefix, args.scale)
        self.args = args
        self.scripts = os.path.join(SOURCE, "tests", "wine", "scripts")
        self.work = os.path.abspath(args.work)
        self.mode, self.skip_reason = win32_mode()
        self.drive_c = os.path.join(self.prefix, "drive_c")

    # --- state of the prefix ------------------------------------------------------------

    def snapshot(self):
        """Registry and files, as Wine has saved them once its session ended."""
        self.stop_wineserver()
        reg = parse_reg(os.path.join(self.prefix, "system.reg"))
        reg.update(parse_reg(os.path.join(self.prefix, "user.reg"), "hkcu\\"))
        files = set()
        for folder, _, names in os.walk(self.drive_c):
            rel = os.path.relpath(folder, self.drive_c).replace(os.sep, "/")
            for name in names + [""]:
                path = (rel + "/" + name).lower() if rel != "." else name.lower()
                if path and not FILE_NOISE.match(path):
                    files.add(path)
        return reg, files

    @staticmethod
    def script_host_keys(reg):
        """The Windows Script Host registers its own type library (IHost, ...) whenever
        cscript runs: keys of that library and its interfaces, in both views."""
        libids = set()
        for key, values in reg.items():
            path = string_data(values.get("", '""')).lower()
            if key.startswith(CLASSES + "typelib\\") and path.endswith(("wscript.exe",
                                                                         "cscript.exe")):
                libids.add(key.split("\\")[3])
        foreign = set()
        for key, values in reg.items():
            rest = key[len(WOW):] if key.startswith(WOW) else key[len(CLASSES):]
            parts = rest.split("\\")
            if parts[0] == "typelib" and len(parts) > 1 and parts[1] in libids:
                foreign.add(key)
            elif parts[0] == "interface" and len(parts) > 1:
                base = key[:key.index(parts[1]) + len(parts[1])]
                libid = string_data(reg.get(base + "\\typelib", {}).get("", '""')).lower()
                if libid in libids:
                    foreign.add(key)
        return foreign

    @classmethod
    def classes_delta(cls, after, before):
        """What changed under HKLM\\Software\\Classes (both views), the installer's own
        bookkeeping and the script host's type library aside: {(key, value name): data}; a
        removed value has data None."""
        delta = {}
        foreign = cls.script_host_keys(after) | cls.script_host_keys(before)
        for key in set(after) | set(before):
            if (not key.startswith(CLASSES) or key.startswith(CLASSES + "installer\\") or
                    key in foreign):
                continue
            new, old = after.get(key, {}), before.get(key, {})
            for name in set(new) | set(old):
                if new.get(name) != old.get(name):
                    delta[(key, name)] = new.get(name)
        return delta

    def expect_same_state(self, state, baseline, what):
        reg, files = state
        base_reg, base_files = baseline
        foreign = self.script_host_keys(reg) | self.script_host_keys(base_reg)
        noisy = lambda key: key.startswith(REG_NOISE) or key in foreign  # noqa: E731
        added = sorted(k for k in set(reg) - set(base_reg) if not noisy(k) and not (
            k in INSTALLER_KEYS and not reg[k] and
            not any(other.startswith(k + "\\") for other in reg)))
        removed = sorted(k for k in set(base_reg) - set(reg) if not noisy(k))
        changed = sorted(k for k in set(reg) & set(base_reg)
                         if not noisy(k) and reg[k] != base_reg[k] and
                         (k.startswith(CLASSES) or "currentversion\\uninstall" in k or
                          "currentversion\\installer" in k))
        self.expect(not added and not removed and not changed,
                    "%s: no registry key added, removed or changed%s" % (
                        what, "".join("\n  + " + k for k in added[:40]) +
                        "".join("\n  - " + k for k in removed[:40]) +
                        "".join("\n  ~ " + k for k in changed[:40])))
        new_files = sorted(f for f in files - base_files if not (
            f == INSTALLER_DIR and not any(o.startswith(f) and o != f for o in files)))
        gone_files = sorted(base_files - files)
        self.expect(not new_files and not gone_files,
                    "%s: no file added or removed%s" % (
                        what, "".join("\n  + " + f for f in new_files[:40]) +
                        "".join("\n  - " + f for f in gone_files[:40])))

    # --- the package --------------------------------------------------------------------

    def make_msi(self, version, name):
        out = os.path.join(self.work, name)
        subprocess.run([sys.executable, os.path.join(SOURCE, "packaging", "windows",
                                                     "make_msi.py"),
                        "--tool", self.args.tool, "--win32", self.args.win32,
                        "--win64", self.args.win64, "--source", SOURCE, "--version", version,
                        "--out", out], check=True, stdout=subprocess.DEVNULL, timeout=120)
        codes = subprocess.run([sys.executable, os.path.join(SOURCE, "packaging", "windows",
                                                             "make_msi.py"),
                                "--tool", self.args.tool, "--win32", self.args.win32,
                                "--win64", self.args.win64, "--version", version,
                                "--out", out, "--print-codes"], check=True,
                               stdout=subprocess.PIPE, text=True, timeout=60).stdout
        found = {name: code.strip("{}") for name, code in
                 (line.split(" ", 1) for line in codes.splitlines())}
        return out, found["UpgradeCode"], found["ProductCode"]

    def msiexec(self, *argv, what):
        log = os.path.join(self.work, what.replace(" ", "-") + ".log")
        code, out = self.wine(MSIEXEC, *argv, "/qn", "/l*v", windows_path(log), check=False,
                              timeout=300)
        ok = code in (0, 3010)
        if not ok and os.path.exists(log):
            with open(log, encoding="utf-16", errors="replace") as handle:
                print(handle.read()[-4000:])
        self.expect(ok, "%s: msiexec %s exited %d" % (what, " ".join(argv), code))
        return ok

    def installed_products(self, reg, upgrade_code):
        key = CLASSES + "installer\\upgradecodes\\" + packed_guid(upgrade_code).lower()
        return sorted(name.upper() for name in reg.get(key, {}))

    def read_weight(self, bits, script_path, expected="1.234"):
        """A VBScript client of the given bitness reads the virtual scale on COM3."""
        system = "syswow64" if bits == 32 else "system32"
        loader = WINE32 if bits == 32 else WINE64
        timeout = 600 if bits == 32 and self.mode == "emulated" else WINE_TIMEOUT
        code, out = self.wine("C:\\windows\\%s\\cscript.exe" % system, "//nologo",
                              script_path, "COM3", loader=loader, check=False,
                              timeout=timeout)
        got = self.script_lines(out)
        self.expect(code == 0 and got.get("weight") == expected + " String",
                    "%d-bit VBScript client creates the object and reads %s: %r"
                    % (bits, expected, out.strip()))

    def create_fails(self, what):
        code, out = self.wine(SYSTEM32 + "cscript.exe", "//nologo",
                              windows_path(os.path.join(self.scripts, "create_only.vbs")),
                              check=False)
        self.expect(out.strip().startswith("create failed"),
                    "%s: 64-bit creation by ProgID fails: %r" % (what, out.strip()))

    # --- tests --------------------------------------------------------------------------

    def test_setup(self):
        stamp = os.path.join(self.prefix, "qel-msi-prefix.ok")
        if os.path.exists(stamp):
            print("prefix %s already made for this build folder: reused" % self.prefix)
            return
        started = time.time()
        # A 64-bit prefix made by the 64-bit loader; its 32-bit half needs 32-bit code.
        wine_host.create_prefix(self.prefix, with_32bit=self.mode != "skip", timeout=840)
        self.stop_wineserver()
        for program in ("msiexec.exe", "cscript.exe", "regsvr32.exe", "reg.exe"):
            self.expect(os.path.exists(os.path.join(self.drive_c, "windows", "system32",
                                                    program)),
                        "64-bit %s present" % program)
        # COM1 is what a fresh driver object reads: make it no scale, deterministically.
        self.map_port("COM1", "/dev/null")
        self.stop_wineserver()
        if self.failures == 0:
            with open(stamp, "w") as handle:
                handle.write("made in %.0f s\n" % (time.time() - started))
        print("prefix made in %.1f s" % (time.time() - started))

    def test_run(self):
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        new_msi, upgrade_code, new_code = self.make_msi(self.args.version, "Qel_weigher.msi")
        old_msi, old_upgrade, old_code = self.make_msi(OLD_VERSION, "Qel_weigher-old.msi")
        self.expect(old_upgrade == upgrade_code and old_code != new_code,
                    "versions %s and %s: one UpgradeCode %s, ProductCodes %s and %s"
                    % (OLD_VERSION, self.args.version, upgrade_code, old_code, new_code))

        self.remove_leftovers(upgrade_code)
        self.start_scale("1.234")
        baseline = self.snapshot()

        reference = self.reference_registration(baseline)

        # Older version, then the current one over it: a major upgrade.
        if self.msiexec("/i", windows_path(old_msi), what="install " + OLD_VERSION):
            reg, _ = self.snapshot()
            self.expect(self.installed_products(reg, upgrade_code) == [packed_guid(old_code)],
                        "version %s installed" % OLD_VERSION)
            self.read_weight(64, PATH64.replace("Qel_weigher.dll", "examples\\read_weight.vbs"))
        if not self.msiexec("/i", windows_path(new_msi), what="upgrade to " + self.args.version):
            raise Failure("the upgrade did not install")
        installed = self.snapshot()
        reg, files = installed
        self.expect(self.installed_products(reg, upgrade_code) == [packed_guid(new_code)],
                    "after the upgrade only version %s is installed: %s"
                    % (self.args.version, self.installed_products(reg, upgrade_code)))
        product = reg.get(CLASSES + "installer\\products\\" + packed_guid(new_code).lower(), {})
        self.expect(product.get("version") == "dword:%02x%02x%04x" % tuple(
            int(part) for part in self.args.version.split(".")),
                    "installed product version %s" % product.get("version"))
        for path in ("program files/qel_weigher/qel_weigher.dll",
                     "program files (x86)/qel_weigher/qel_weigher.dll",
                     "program files/qel_weigher/weightbench.exe",
                     "program files/qel_weigher/virtual_scale.exe",
                     "program files/qel_weigher/integration-guide.md",
                     "program files/qel_weigher/examples/read_weight.vbs",
                     "program files/qel_weigher/examples/read_weight.js",
                     "program files/qel_weigher/examples/example_early_binding.cpp") + (
                         ("program files/qel_weigher/qelscaled.exe",) if os.path.exists(
                             os.path.join(self.args.win64, "service", "qelscaled.exe")) else ()):
            self.expect(path in files, "installed: C:/%s" % path)
        self.compare_registration(self.classes_delta(reg, baseline[0]), reference)

        self.read_weight(64, PATH64.replace("Qel_weigher.dll", "examples\\read_weight.vbs"))

        self.test_repair(new_msi, installed, baseline)

        # Uninstall: nothing of the product is left.
        self.msiexec("/x", windows_path(new_msi), what="uninstall")
        self.create_fails("after uninstall")
        self.expect_same_state(self.snapshot(), baseline, "after uninstall")

    def remove_leftovers(self, upgrade_code):
        """A run killed half-way may have left a product installed: removes it."""
        reg, _ = self.snapshot()
        for code in self.installed_products(reg, upgrade_code):
            print("removing a product left by an earlier run")
            self.wine(MSIEXEC, "/x", "{%s}" % self.unpack(code), "/qn", check=False,
                      timeout=300)

    def test_read32(self):
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        msi, upgrade_code, _ = self.make_msi(self.args.version, "Qel_weigher.msi")
        self.remove_leftovers(upgrade_code)
        self.start_scale("1.234")
        baseline = self.snapshot()
        if not self.msiexec("/i", windows_path(msi), what="install"):
            raise Failure("the package did not install")
        try:
            self.read_weight(32, PATH64.replace("Qel_weigher.dll", "examples\\read_weight.vbs"))
        finally:
            self.msiexec("/x", windows_path(msi), what="uninstall")
        self.expect_same_state(self.snapshot(), baseline, "after uninstall")

    def test_opos(self):
        """OPOS_PORT makes the OPOS Scale device QelScale in both registry views; our test
        Control Object reads the scale through it; an upgrade without the property keeps it;
        uninstall leaves no OPOS key and nothing else."""
        client = os.path.join(self.args.win64, "tests", "wine", "qel_opos_client.exe")
        if not os.path.exists(client):
            raise Failure("no %s (build the win64 preset)" % client)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        new_msi, upgrade_code, _ = self.make_msi(self.args.version, "Qel_weigher.msi")
        old_msi, _, _ = self.make_msi(OLD_VERSION, "Qel_weigher-old.msi")
        self.remove_leftovers(upgrade_code)
        self.start_scale("1.234", protocol="mt-sics")
        baseline = self.snapshot()
        port = "COM3?protocol=mt-sics"
        if not self.msiexec("/i", windows_path(old_msi), "OPOS_PORT=" + port,
                            what="install %s with OPOS_PORT" % OLD_VERSION):
            raise Failure("the package did not install")
        self.check_opos_device(port, "installed with OPOS_PORT")
        self.read_through_opos(client, "installed")
        if not self.msiexec("/i", windows_path(new_msi), what="upgrade without OPOS_PORT"):
            raise Failure("the upgrade did not install")
        self.check_opos_device(port, "after the upgrade")
        self.read_through_opos(client, "upgraded")
        self.msiexec("/x", windows_path(new_msi), what="uninstall")
        reg, _ = self.snapshot()
        left = sorted(key for key in reg if "oleforretail" in key)
        self.expect(not left, "after uninstall no OPOS key is left: %s" % left)
        self.expect_same_state(self.snapshot(), baseline, "after uninstall")

    def check_opos_device(self, port, what):
        reg, _ = self.snapshot()
        for view in ("software\\", "software\\wow6432node\\"):
            values = reg.get(view + OPOS_DEVICE_KEY, {})
            got = (string_data(values.get("", '""')), string_data(values.get("port", '""')))
            self.expect(got == ("Qel_weigher.OposScale", port),
                        "%s: HKLM\\%s%s names the service object and %s: %s"
                        % (what, view, OPOS_DEVICE_KEY, port, got))

    def read_through_opos(self, client, what):
        code, out = self.wine(client, "--read", "QelScale", check=False)
        print(out.rstrip())
        self.expect(code == 0 and "weight 1234" in out,
                    "%s: the test Control Object reads 1.234 kg through the OPOS device" % what)

    def test_service(self):
        exe = os.path.join(self.args.win64, "service", "qelscaled.exe")
        if not os.path.exists(exe):
            raise Failure("no %s (build qelscaled in the win64 preset)" % exe)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        msi, _, _ = self.make_msi(self.args.version, "Qel_weigher.msi")
        major, minor, patch = self.args.version.split(".")
        newer, _, _ = self.make_msi("%s.%s.%d" % (major, minor, int(patch) + 1),
                                    "Qel_weigher-newer.msi")
        self.check_service_tables(msi)
        self.use_fresh_prefix()
        self.start_scale("1.234")
        checks = ServiceChecks(self, free_port())
        trace = os.path.join(self.work, "session-trace.log")
        self.start_traced_session(trace)

        # The package's first install in this prefix, as a fleet deploys it: the service is
        # created and started by the same install.
        arguments = "--stream COM3 --listen 127.0.0.1:%d --stable-ms 300" % checks.port
        if not self.msiexec("/i", windows_path(msi), "QELSCALED_ARGS=" + arguments,
                            what="first install with QELSCALED_ARGS"):
            raise Failure("the package's first install with QELSCALED_ARGS failed")
        installed = msi
        try:
            self.expect(checks.stored_arguments() == arguments,
                        "QELSCALED_ARGS stored in %s: %r" % (ARGUMENTS_KEY,
                                                             checks.stored_arguments()))
            self.check_running(checks, trace)
            arguments = self.check_stop_and_new_arguments(checks)
            self.check_killed(checks)
            if self.msiexec("/i", windows_path(newer), what="upgrade without QELSCALED_ARGS"):
                installed = newer
                self.expect(checks.stored_arguments() == arguments,
                            "the upgrade keeps the stored arguments: %r"
                            % checks.stored_arguments())
                self.expect(checks.wait_state("RUNNING") == "RUNNING" and
                            checks.weight() is not None,
                            "after the upgrade the service runs and reads the scale")
        finally:
            self.msiexec("/x", windows_path(installed), what="uninstall the service")
        self.check_service_removed(checks)

        if self.msiexec("/i", windows_path(msi), what="install without arguments"):
            self.expect(checks.state() == "STOPPED" and checks.stored_arguments() is None,
                        "without QELSCALED_ARGS: installed, not started, nothing stored (%s)"
                        % checks.state())
            self.msiexec("/x", windows_path(msi), what="uninstall the unstarted service")
        self.check_creation_failure(msi, checks)
        if self.failures == 0:
            self.stop_wineserver()
            shutil.rmtree(self.prefix, ignore_errors=True)

    def use_fresh_prefix(self):
        """Moves the suite to a prefix of its own, made anew: nothing of the package, nor of a
        session that had it, may be left there. The 32-bit half as for the shared prefix."""
        self.stop_wineserver()
        self.prefix = os.path.abspath(self.args.prefix) + "-service"
        self.drive_c = os.path.join(self.prefix, "drive_c")
        if os.path.exists(self.prefix):
            wine_host.stop_wineserver(self.prefix)
        started = time.time()
        wine_host.create_prefix(self.prefix, with_32bit=self.mode != "skip", timeout=840)
        print("fresh prefix %s made in %.1f s" % (self.prefix, time.time() - started))

    def check_creation_failure(self, msi, checks):
        """A service the install cannot create (here another service already has its display
        name) fails the install at once and leaves nothing, rather than an install reported
        as done without its service or one failing later on a service that is not there."""
        clash = "qelscaled_clash"
        self.wine(SYSTEM32 + "sc.exe", "create", clash, "binPath=",
                  SYSTEM32 + "notepad.exe", "DisplayName=", "Qel_weigher weight service")
        try:
            log = os.path.join(self.work, "install-with-the-name-taken.log")
            code, _ = self.wine(MSIEXEC, "/i", windows_path(msi), "QELSCALED_ARGS=--stream COM3",
                                "/qn", "/l*v", windows_path(log), check=False, timeout=300)
            # The status as a process exit code, modulo 256: ERROR_INSTALL_FAILURE (1603), as
            # InstallServices returns it for a vital service; not 91 (1627, StartServices
            # finding no service) nor 0.
            if code != 1603 & 0xFF and os.path.exists(log):
                with open(log, encoding="utf-16", errors="replace") as handle:
                    print(handle.read()[-4000:])
            self.expect(code == 1603 & 0xFF,
                        "a service that cannot be created fails the install in InstallServices:"
                        " exit %d (1603 & 0xff = 67)" % code)
            _, files = self.snapshot()
            left = sorted(f for f in files if f.startswith("program files/qel_weigher/"))
            self.expect(checks.state() is None and checks.stored_arguments() is None and
                        not left, "the failed install leaves no service, setting or file: %s"
                        % left)
        finally:
            self.wine(SYSTEM32 + "sc.exe", "delete", clash, check=False)

    def start_traced_session(self, trace):
        """A Wine session whose services.exe, and every service it starts, traces the event
        log's calls into `trace`: Wine's ReportEventW keeps no log, it only traces what it is
        given."""
        self.stop_wineserver()
        env = self.env()
        env["WINEDEBUG"] = "-all,+eventlog"
        subprocess.run(["wineserver", "-p"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        with open(trace, "w") as out:
            subprocess.run([WINE64, "cmd", "/c", "exit"], env=env, stdin=subprocess.DEVNULL,
                           stdout=out, stderr=out, timeout=WINE_TIMEOUT)
        self.session_locale = "en_US.UTF-8"

    def check_service_tables(self, msi):
        """The service as the package declares it, recovery included: Wine's installer skips
        MsiConfigureServices, so these rows are all a test here can see of it."""
        install = msi_table(msi, "ServiceInstall")
        # ErrorControl 0x8001: normal, and vital (a failure to create it fails the install).
        self.expect([(r["Name"], r["ServiceType"], r["StartType"], r["ErrorControl"],
                      r["StartName"]) for r in install] ==
                    [(SERVICE, "16", "2", str(0x8001), "NT SERVICE\\qelscaled")],
                    "ServiceInstall: own process, automatic, vital, its virtual account: %s"
                    % install)
        control = sorted((r["Name"], r["Event"], r["Component_"])
                         for r in msi_table(msi, "ServiceControl"))
        # 0x2|0x20|0x80: stopped on install and uninstall, deleted on uninstall; 0x1: started
        # on install, with the arguments' component only.
        self.expect(control == [(SERVICE, "1", "ServiceArguments"), (SERVICE, "162", "Service64")],
                    "ServiceControl: stop before upgrade and removal, start with arguments: %s"
                    % control)
        failure = msi_table(msi, "MsiServiceConfigFailureActions")
        self.expect([(r["Name"], r["Event"], r["Actions"], r["Component_"]) for r in failure] ==
                    [(SERVICE, "3", "1[~]1[~]1", "Service64")],
                    "MsiServiceConfigFailureActions: restart after every failure: %s" % failure)
        sequence = {r["Action"]: int(r["Sequence"]) for r in
                    msi_table(msi, "InstallExecuteSequence")}
        self.expect(sequence.get("InstallServices", 0) < sequence.get("MsiConfigureServices", 0)
                    < sequence.get("StartServices", 0),
                    "MsiConfigureServices runs between InstallServices and StartServices")
        self.expect(sequence.get("InstallValidate", 0) < sequence.get("RemoveExistingProducts", 0)
                    < sequence.get("InstallInitialize", 0),
                    "an upgrade removes the old version before it installs the new one")
        component = {r["Component"]: r["Condition"] for r in msi_table(msi, "Component")}
        self.expect(component.get("ServiceArguments") == "QELSCALED_ARGS",
                    "the arguments' component is installed only with QELSCALED_ARGS")

    def check_running(self, checks, trace):
        self.expect(checks.wait_state("RUNNING") == "RUNNING", "sc query: RUNNING")
        reading = checks.weight()
        self.expect(reading is not None and reading["value"] == 1.234,
                    "/v1/weight reads the virtual scale on COM3: %s" % reading)
        # The machine's ports as Wine's mount manager lists them in
        # HARDWARE\DEVICEMAP\SERIALCOMM (Wine has no Ports class devices to describe them).
        _, body = checks.get("/v1/ports")
        available = json.loads(body).get("available", [])
        self.expect({"name": "COM3", "description": ""} in available and
                    all(set(port) == {"name", "description"} for port in available),
                    "/v1/ports lists the machine's COM ports: %s" % available)
        status, page = checks.get("/")
        self.expect(status == 200 and "<title>qelscaled</title>" in page, "the page is served")
        refused = urllib.request.Request("http://127.0.0.1:%d/v1/weight?port=COM3" % checks.port,
                                         headers={"Host": "evil.example"})
        try:
            urllib.request.urlopen(refused, timeout=5)
            status = 200
        except urllib.error.HTTPError as error:
            status = error.code
        self.expect(status == 403, "a rebinding Host is refused: %d" % status)
        time.sleep(1)  # the log writes from a thread of its own
        with open(trace, encoding="utf-8", errors="replace") as handle:
            events = [line for line in handle if "ReportEventW" in line]
        for wanted in ('"listening on http://127.0.0.1:%d/"' % checks.port,
                       '"refused /v1/weight: 403 host-not-allowed"'):
            self.expect(any(wanted in line for line in events),
                        "the event log gets %s:\n  %s" % (wanted, "  ".join(events[-6:])))

    def check_stop_and_new_arguments(self, checks):
        """net stop, new arguments as an administrator sets them (a quoted one among them),
        net start: the service takes them. Returns them."""
        code, out = self.wine(SYSTEM32 + "net.exe", "stop", SERVICE, check=False)
        self.expect(code == 0 and checks.wait_state("STOPPED") == "STOPPED" and
                    not checks.answers(), "net stop: STOPPED, nothing answers (%s)"
                    % out.strip())
        checks.port = free_port()
        arguments = '--stream COM3 --listen "127.0.0.1:%d" --stable-ms 300' % checks.port
        self.wine(SYSTEM32 + "reg.exe", "add", ARGUMENTS_KEY, "/v", "Arguments", "/d",
                  arguments, "/f", "/reg:64")
        code, out = self.wine(SYSTEM32 + "net.exe", "start", SERVICE, check=False)
        self.expect(code == 0 and checks.wait_state("RUNNING") == "RUNNING" and
                    checks.weight() is not None,
                    "net start with the changed arguments: RUNNING on the new port (%s)"
                    % out.strip())
        # Wine's AppSearch cuts a registry text at its second double quote (Windows' does
        # not), so the arguments an upgrade is to keep here hold none.
        arguments = arguments.replace('"', "")
        self.wine(SYSTEM32 + "reg.exe", "add", ARGUMENTS_KEY, "/v", "Arguments", "/d",
                  arguments, "/f", "/reg:64")
        return arguments

    def check_killed(self, checks):
        """A killed service. A Windows service manager restarts it (the package's recovery);
        Wine's services.exe has no failure actions: it keeps showing RUNNING and starts no
        new process, and a start brings the service back."""
        code, out = self.wine(SYSTEM32 + "taskkill.exe", "/f", "/im", "qelscaled.exe",
                              check=False)
        self.expect(code == 0, "taskkill /f ends qelscaled.exe (%s)" % out.strip())
        restarted = checks.weight(within=15) is not None
        print("killed: sc query shows %s; %s" % (checks.state(), "answering again"
                                                 if restarted else "not answering"))
        self.expect(not restarted, "killed: Wine's service manager does not restart it")
        self.wine(SYSTEM32 + "net.exe", "start", SERVICE, check=False)
        self.expect(checks.weight() is not None, "killed: net start brings it back")

    def check_service_removed(self, checks):
        self.expect(checks.state() is None, "after uninstall there is no service qelscaled")
        self.expect(not checks.answers(), "after uninstall nothing answers")
        self.expect(not checks.key_exists(ARGUMENTS_KEY), "after uninstall no %s" % ARGUMENTS_KEY)
        self.expect(not checks.key_exists(EVENT_SOURCE_KEY),
                    "after uninstall no event log source")
        _, files = self.snapshot()
        left = sorted(f for f in files if f.startswith("program files/qel_weigher/"))
        self.expect(not left, "after uninstall no file is left: %s" % left)

    @staticmethod
    def unpack(packed):
        p = packed.upper()
        swapped = "".join(p[i + 1] + p[i] for i in range(16, 32, 2))
        plain = p[7::-1] + p[11:7:-1] + p[15:11:-1] + swapped
        return "%s-%s-%s-%s-%s" % (plain[:8], plain[8:12], plain[12:16], plain[16:20],
                                   plain[20:])

    def reference_registration(self, baseline):
        """regsvr32 on the DLLs at the MSI's paths: what the MSI must write."""
        placed = []
        for bits, path, build in ((32, PATH32, self.args.win32), (64, PATH64, self.args.win64)):
            local = os.path.join(self.drive_c, *path.split("\\")[1:])
            os.makedirs(os.path.dirname(local), exist_ok=True)
            shutil.copy(os.path.join(build, "src", "com", "Qel_weigher.dll"), local)
            placed.append(local)
        try:
            # 64-bit first: the shared type library entries are then the 64-bit server's (the
            # first registration writes them), as in the package.
            self.wine(SYSTEM32 + "regsvr32.exe", "/s", PATH64)
            if self.mode == "native":
                self.wine("C:\\windows\\syswow64\\regsvr32.exe", "/s", PATH32, loader=WINE32)
            reference = self.classes_delta(self.snapshot()[0], baseline[0])
            self.wine(SYSTEM32 + "regsvr32.exe", "/u", "/s", PATH64)
            if self.mode == "native":
                self.wine("C:\\windows\\syswow64\\regsvr32.exe", "/u", "/s", PATH32,
                          loader=WINE32)
        finally:
            for local in placed:
                os.remove(local)
                os.rmdir(os.path.dirname(local))
        self.expect_same_state(self.snapshot(), baseline, "regsvr32 /u after regsvr32")
        if self.mode != "native":
            reference.update(self.moved_to_32bit_view(reference))
        return reference

    @staticmethod
    def moved_to_32bit_view(reference):
        """The 64-bit registration as the 32-bit server's: its class in the 32-bit view with
        the 32-bit DLL's path, and the type library's win32 entry. (The ProgID is shared.)"""
        moved = {}
        quoted64, quoted32 = ('"%s"' % path.replace("\\", "\\\\") for path in (PATH64, PATH32))
        for (key, name), data in reference.items():
            if key.startswith(CLASSES + "clsid\\"):
                moved[(WOW + key[len(CLASSES):], name)] = (
                    data.replace(quoted64, quoted32) if data else data)
            elif key.startswith(CLASSES + "typelib\\") and key.endswith("\\0\\win64"):
                moved[(key[:-len("win64")] + "win32", name)] = data.replace(quoted64, quoted32)
        return moved

    def compare_registration(self, msi, reference):
        def normal(entries):
            # RegisterTypeLib writes HELPDIR without the trailing backslash an MSI folder has.
            return {(key, name): (data.replace('\\\\"', '"') if data and
                                  key.endswith("\\helpdir") else data)
                    for (key, name), data in entries.items()}
        msi, reference = normal(msi), normal(reference)
        only_msi = sorted(set(msi) - set(reference))
        only_ref = sorted(set(reference) - set(msi))
        differ = sorted(k for k in set(msi) & set(reference) if msi[k] != reference[k])
        how = "" if self.mode == "native" else (
            " (32-bit view against the 64-bit regsvr32 moved to it; 32-bit code: %s)" %
            self.mode)
        self.expect(msi and not only_msi and not only_ref and not differ,
                    "the MSI writes what regsvr32 writes: %d values in both registry views%s%s"
                    % (len(reference), how,
                       "".join("\n  MSI only: %s [%s] = %s" % (k, n, msi[(k, n)])
                               for k, n in only_msi) +
                       "".join("\n  regsvr32 only: %s [%s] = %s" % (k, n, reference[(k, n)])
                               for k, n in only_ref) +
                       "".join("\n  differ: %s [%s]: MSI %s, regsvr32 %s"
                               % (k, n, msi[(k, n)], reference[(k, n)]) for k, n in differ)))
        for key, name in sorted(reference):
            if "inprocserver32" in key or key.endswith(("\\win32", "\\win64")):
                print("   %s [%s] = %s" % (key, name or "@", reference[(key, name)]))

    def test_repair(self, msi, installed, baseline):
        """A till whose DLL was deleted and whose class key was removed: repair restores
        both."""
        os.remove(os.path.join(self.drive_c, "Program Files", "Qel_weigher", "Qel_weigher.dll"))
        self.wine(SYSTEM32 + "reg.exe", "delete",
                  "HKLM\\Software\\Classes\\CLSID\\%s\\InprocServer32" % self.clsid(installed),
                  "/f", "/reg:64")
        self.create_fails("broken install")
        # The repair a deployment tool runs; "msiexec /famus" says the same on Windows, but
        # Wine's msiexec does not implement /f.
        self.msiexec("/i", windows_path(msi), "REINSTALL=ALL", "REINSTALLMODE=amus",
                     what="repair")
        repaired = self.snapshot()
        self.expect(self.classes_delta(repaired[0], baseline[0]) ==
                    self.classes_delta(installed[0], baseline[0]),
                    "repair: the registration is back as installed")
        self.expect(repaired[1] == installed[1], "repair: the files are back as installed")
        self.read_weight(64, PATH64.replace("Qel_weigher.dll", "examples\\read_weight.vbs"))

    @staticmethod
    def clsid(state):
        data = state[0].get(CLASSES + PROGID + "\\clsid", {}).get("", '""')
        return string_data(data)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def msi_table(msi, table):
    """A table of the package as [{column: value}], read with msiinfo."""
    lines = subprocess.run(["msiinfo", "export", msi, table], check=True, stdout=subprocess.PIPE,
                           text=True, timeout=60).stdout.splitlines()
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:]]


class ServiceChecks:
    """What test_service looks at, beside the package's installs."""

    def __init__(self, suite, port):
        self.suite = suite
        self.port = port

    def get(self, path, timeout=5):
        url = "http://127.0.0.1:%d%s" % (self.port, path)
        with urllib.request.urlopen(url, timeout=timeout) as response:
            return response.status, response.read().decode("utf-8", "replace")

    def weight(self, within=60):
        """The stable reading of COM3 once the service answers, or None."""
        deadline = time.time() + within
        while time.time() < deadline:
            try:
                _, body = self.get("/v1/weight?port=COM3")
                reading = json.loads(body)
                if reading.get("ok") and reading.get("stable"):
                    return reading
            except (OSError, ValueError):
                pass
            time.sleep(0.5)
        return None

    def answers(self):
        try:
            self.get("/v1/ports", timeout=3)
            return True
        except OSError:
            return False

    def state(self):
        """The service's state word as `sc query` shows it (RUNNING, STOPPED...), or None
        when there is no such service."""
        code, out = self.suite.wine(SYSTEM32 + "sc.exe", "query", SERVICE, check=False)
        found = re.search(r"STATE\s*:\s*\d+\s+(\w+)", out)
        return found.group(1) if code == 0 and found else None

    def wait_state(self, wanted, within=30):
        deadline = time.time() + within
        state = self.state()
        while state != wanted and time.time() < deadline:
            time.sleep(1)
            state = self.state()
        return state

    def stored_arguments(self):
        code, out = self.suite.wine(SYSTEM32 + "reg.exe", "query", ARGUMENTS_KEY, "/v",
                                    "Arguments", "/reg:64", check=False)
        found = re.search(r"Arguments\s+REG_SZ\s+(.*)", out)
        return found.group(1).strip() if code == 0 and found else None

    def key_exists(self, key):
        code, _ = self.suite.wine(SYSTEM32 + "reg.exe", "query", key, "/reg:64", check=False)
        return code == 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--scale", required=True)
    parser.add_argument("--tool", required=True, help="qel_msi_registry")
    parser.add_argument("--win32", required=True)
    parser.add_argument("--win64", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("test", choices=["setup", "run", "read32", "service", "opos"])
    args = parser.parse_args()

    mode, reason = win32_mode()  # a wrong value fails at once
    if args.test == "read32" and mode == "skip":
        print("SKIP: no 32-bit code runs here: %s" % reason)
        return SKIP
    for tool in ("wineserver", "wixl"):
        if not shutil.which(tool):
            print("SKIP: %s is not installed" % tool)
            return SKIP
    if not os.path.exists(WINE64):
        print("SKIP: no 64-bit Wine loader (wine64)")
        return SKIP
    missing = wine_host.missing_windows_build((args.win32, args.win64))
    if missing is not None:
        return missing
    ready = args.test == "setup" or os.path.exists(os.path.join(args.prefix, "qel-msi-prefix.ok"))
    return wine_host.run_in_prefix(
        args.prefix, ready, lambda: MsiSuite(args), "msi " + args.test,
        lambda suite: {"setup": suite.test_setup, "run": suite.test_run,
                       "read32": suite.test_read32, "service": suite.test_service,
                       "opos": suite.test_opos}[args.test])

if __name__ == "__main__":
    sys.exit(main())
