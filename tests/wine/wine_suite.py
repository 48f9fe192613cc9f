#!/usr/bin/env python3
"""Runs the COM server's clients under Wine against the virtual scale.

One Wine prefix per test run (made by `setup`), shared by the tests that follow, which run
one at a time. Every Wine process has a timeout; message boxes are answered in-process by
the C++ client's hook, on an Xvfb display of the test's own.

Exit codes: 0 passed, 1 failed, 77 skipped (no Wine, no Windows build, no prefix).
"""

import argparse
import os
import re
import shutil
import socket
import subprocess
import tempfile
import sys
import time

import wine_host

SKIP = wine_host.SKIP
# A 32-bit process sees system32 redirected to syswow64: 64-bit system programs need the
# 64-bit loader, and it is the one that runs everything that is not 32-bit on purpose.
WINE64 = wine_host.WINE64
# Wine locale -> weight text of the scale's 1.234
LOCALES = {"ru_RU.UTF-8": "1,234", "de_DE.UTF-8": "1,234", "en_US.UTF-8": "1.234"}

Failure = wine_host.Failure
windows_path = wine_host.windows_path
# Where the service manager's run of qelscaled reads its arguments.
SERVICE_KEY = "HKLM\\Software\\Qel_weigher\\qelscaled"


class Identities:
    """The server's identities as the registry shows them, read from its IDL (the one place
    they are written): the class, the type library, the interface and the ProgID."""

    def __init__(self, idl_path):
        with open(idl_path, encoding="utf-8") as idl:
            text = idl.read()
        # "[uuid(...), ...] library|interface|coclass Name": the attribute block's uuid.
        uuids = {kind: "{%s}" % guid.upper() for guid, kind in re.findall(
            r"uuid\(([0-9A-Fa-f-]{36})\)[^\]]*\]\s*(library|interface|coclass)\b", text)}
        progid = re.search(r'#define QEL_PROGID L\\"([^\\"]+)\\"', text)
        if len(uuids) != 3 or not progid:
            raise Failure("cannot read the identities from %s" % idl_path)
        self.clsid = uuids["coclass"]
        self.libid = uuids["library"]
        self.iid = uuids["interface"]
        self.progid = progid.group(1)


class Arch:
    def __init__(self, bits, build_dir):
        self.bits = bits
        self.build_dir = build_dir
        system = "syswow64" if bits == 32 else "system32"
        self.regsvr32 = "C:\\windows\\%s\\regsvr32.exe" % system
        self.cscript = "C:\\windows\\%s\\cscript.exe" % system
        self.reg_view = "/reg:%d" % bits
        self.loader = wine_host.loader(bits)

    @property
    def dll(self):
        return os.path.join(self.build_dir, "src", "com", "Qel_weigher.dll")

    def client(self, name="qel_com_client"):
        return os.path.join(self.build_dir, "tests", "wine", name + ".exe")


class Suite(wine_host.WineSession):
    def __init__(self, args):
        super().__init__(args.prefix, args.scale)
        self.args = args
        self.ids = Identities(os.path.join(args.source, "src", "com", "Qel_weigher.idl"))
        self.scripts = os.path.abspath(args.scripts)
        self.examples = os.path.abspath(args.examples)
        self.builds = [Arch(32, args.win32), Arch(64, args.win64)]
        # Both bitnesses in one prefix where 32-bit code runs natively; elsewhere the full
        # suite runs 64-bit only, and a focused 32-bit subset runs in a prefix of its own.
        mode, _ = wine_host.i386_support()
        if args.subset32:
            self.arches = [self.builds[0]]
        else:
            self.arches = self.builds if mode == "native" else [self.builds[1]]

    def wine(self, *argv, loader=WINE64, **options):
        if argv and argv[0].endswith(".exe") and loader == WINE64:
            # Test programs of the 32-bit build need the 32-bit loader.
            loader = next((a.loader for a in self.builds if argv[0].startswith(a.build_dir)),
                          loader)
        return super().wine(*argv, loader=loader, **options)

    # --- checks ------------------------------------------------------------------------

    def run_script(self, arch, script, *args, locale="en_US.UTF-8"):
        # The customers' examples are run as they are shipped; the tests' own scripts sit here.
        folder = self.examples if os.path.exists(os.path.join(self.examples, script)) \
            else self.scripts
        _, out = self.wine(arch.cscript, "//nologo",
                           windows_path(os.path.join(folder, script)), *args,
                           locale=locale, loader=arch.loader)
        return out

    # --- tests -------------------------------------------------------------------------

    def test_setup(self):
        if os.path.exists(self.prefix):
            shutil.rmtree(self.prefix)
        started = time.time()
        with_32bit = any(arch.bits == 32 for arch in self.arches)
        wine_host.create_prefix(self.prefix, with_32bit,
                                timeout=wine_host.timeout_for(32 if with_32bit else 64, 300))
        self.stop_wineserver()
        for arch in self.arches:
            for exe in (arch.regsvr32, arch.cscript):
                local = os.path.join(self.prefix, "drive_c", *exe.split("\\")[1:])
                self.expect(os.path.exists(local), "%s present" % exe)
        # COM1 is what a fresh driver object reads: make it no scale, deterministically.
        self.map_port("COM1", "/dev/null")
        pty = self.start_scale()
        self.stop_wineserver()
        # A fresh Wine start runs mountmgr again; the mapping must survive it.
        self.wine("cmd", "/c", "exit")
        self.expect(os.readlink(os.path.join(self.prefix, "dosdevices", "com1")) == "/dev/null",
                    "COM1 still maps to /dev/null after Wine starts")
        link = os.readlink(os.path.join(self.prefix, "dosdevices", "com3"))
        self.expect(link == pty, "COM3 still maps to the scale's pty after Wine starts")
        print("prefix made in %.1f s" % (time.time() - started))

    def register_all(self):
        for arch in self.arches:
            for _ in range(2):  # registering twice is harmless
                self.wine(arch.regsvr32, "/s", windows_path(arch.dll), loader=arch.loader)

    def reg_query(self, arch, key, value=None):
        argv = ["reg", "query", key] + (["/v", value] if value else ["/ve"]) + [arch.reg_view]
        code, out = self.wine(*argv, check=False)
        return out if code == 0 else None

    def test_register(self):
        self.register_all()
        for arch in self.arches:
            server = self.reg_query(arch, "HKCR\\CLSID\\%s\\InprocServer32" % self.ids.clsid)
            self.expect(server is not None and windows_path(arch.dll).lower() in server.lower(),
                        "%d-bit InprocServer32 is the DLL's path" % arch.bits)
            model = self.reg_query(arch, "HKCR\\CLSID\\%s\\InprocServer32" % self.ids.clsid,
                                   "ThreadingModel")
            self.expect(model is not None and "Apartment" in model,
                        "%d-bit ThreadingModel Apartment" % arch.bits)
            # The ProgID key is shared by both views; Wine keeps it in the 64-bit one.
            clsid = self.reg_query(self.builds[1], "HKCR\\%s\\CLSID" % self.ids.progid)
            self.expect(clsid is not None and self.ids.clsid in clsid,
                        "%d-bit ProgID names the class" % arch.bits)
            for key in ("HKCR\\Interface\\%s" % self.ids.iid,
                        "HKCR\\TypeLib\\%s\\1.0" % self.ids.libid):
                self.expect(self.reg_query(arch, key) is not None,
                            "%d-bit %s registered" % (arch.bits, key))

    def test_scripts(self):
        self.register_all()
        self.start_scale("1.234")
        for arch in self.arches:
            for script, probe_type, weight_type in (("read_weight.vbs", "Boolean", "String"),
                                                    ("read_weight.js", "boolean", "string")):
                got = self.script_lines(self.run_script(arch, script))
                what = "%d-bit %s" % (arch.bits, script)
                self.expect(got.get("probe") == "-1 " + probe_type, what + " probe True")
                self.expect(got.get("port") == "COM3", what + " port variable unchanged")
                self.expect(got.get("weight") == "1.234 " + weight_type, what + " weight 1.234")
        # A probe of a silent port answers False; the weight is then "0".
        self.start_scale("1.234", "silent")
        got = self.script_lines(self.run_script(self.arches[0], "read_weight.vbs"))
        self.expect(got.get("probe") == "0 Boolean", "silent scale: probe False")
        self.expect(got.get("weight") == "0 String", "silent scale: weight 0")

    def test_client(self):
        scenario = self.args.scenario
        self.register_all()
        for arch in self.arches:
            self.start_scale("1.234")
            argv = [arch.client(), scenario] + ([self.args.weight] if self.args.weight else [])
            code, out = self.wine(*argv, check=False)
            print(out.rstrip())
            self.expect(code == 0, "%d-bit client %s" % (arch.bits, scenario))

    def test_hosted(self):
        scenario = [self.args.scenario] if self.args.scenario else []
        for arch in self.arches:
            code, out = self.wine(arch.client("qel_hosted_tests"), *scenario, check=False)
            print(out.rstrip())
            self.expect(code == 0, "%d-bit hosted tests" % arch.bits)

    def test_reentry(self):
        """The client's timer calls the driver while the driver's box is up. COM6 is a plain
        file: it opens, but it is no serial line, so the driver's box comes up with the port
        held."""
        self.register_all()
        plain_file = os.path.join(os.path.dirname(self.prefix), "com6-plain-file")
        open(plain_file, "w").close()
        self.map_port("COM6", plain_file)
        for arch in self.arches:
            self.start_scale("1.234")
            code, out = self.wine(arch.client(), "reentry", "1.234", check=False)
            print(out.rstrip())
            self.expect(code == 0, "%d-bit client: a call from a timer inside the driver's box"
                        % arch.bits)

    def test_com_names(self):
        """COM12 reaches the scale as well as COM3; COM1 to COM9 keep their device names."""
        self.register_all()
        for arch in self.arches:
            self.map_port("COM12", self.start_scale("1.234"))
            code, out = self.wine(arch.client(), "com_names", "1.234", check=False)
            print(out.rstrip())
            self.expect(code == 0, "%d-bit client: COM12 and the names of COM1 to COM9"
                        % arch.bits)

    def test_dll_surface(self):
        """Exactly the four entry points, and nothing but system DLLs imported."""
        system = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll", "oleaut32.dll",
                  "user32.dll"}
        wanted = ["DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                  "DllUnregisterServer"]
        for arch in self.builds:
            dump = subprocess.run(["objdump", "-p", arch.dll], stdout=subprocess.PIPE,
                                  check=True, timeout=60).stdout.decode()
            imports = {line.split(":", 1)[1].strip().lower()
                       for line in dump.splitlines() if "DLL Name:" in line}
            self.expect(imports and imports <= system,
                        "%d-bit imports only system DLLs: %s" % (arch.bits, sorted(imports)))
            table = dump.split("[Ordinal/Name Pointer] Table", 1)[-1]
            exports = sorted(line.split("]", 1)[1].strip() for line in table.splitlines()
                             if line.strip().startswith("[") and "]" in line)
            self.expect(exports == wanted, "%d-bit exports %s" % (arch.bits, exports))

    def test_early_binding_example(self):
        self.register_all()
        self.start_scale("2.5")
        for arch in self.arches:
            _, out = self.wine(arch.client("example_early_binding"), "COM3")
            got = self.script_lines(out)
            self.expect(got.get("probe") == "-1" and got.get("port") == "COM3" and
                        got.get("weight") == "2.500",
                        "%d-bit early-binding example reads 2.500" % arch.bits)

    def test_locales(self):
        self.register_all()
        self.start_scale("1.234")
        for locale, expected in LOCALES.items():
            for arch in self.arches:
                got = self.script_lines(self.run_script(arch, "read_weight.vbs", locale=locale))
                self.expect(got.get("weight", "").split(" ")[0] == expected,
                            "%d-bit %s: weight %s" % (arch.bits, locale, expected))

    def test_unregister(self):
        self.register_all()
        try:
            for arch in self.arches:
                for _ in range(2):  # unregistering twice is harmless
                    self.wine(arch.regsvr32, "/u", "/s", windows_path(arch.dll),
                              loader=arch.loader)
                if arch.bits == 32 and len(self.arches) == 2:
                    # The shared ProgID stays while the 64-bit server is registered.
                    got = self.run_script(self.arches[1], "create_only.vbs").strip()
                    self.expect(got == "created",
                                "64-bit creation still works after the 32-bit unregister: %s"
                                % got)
            for arch in self.arches:
                got = self.run_script(arch, "create_only.vbs").strip()
                self.expect(got.startswith("create failed"),
                            "%d-bit creation by ProgID fails: %s" % (arch.bits, got))
                code, out = self.wine(arch.client(), "unregistered", check=False)
                self.expect(code == 0, "%d-bit client: creation fails\n%s" % (arch.bits, out))
                for key in ("HKCR\\%s" % self.ids.progid, "HKCR\\CLSID\\%s" % self.ids.clsid,
                            "HKCR\\Interface\\%s" % self.ids.iid):
                    self.expect(self.reg_query(arch, key) is None,
                                "%d-bit %s removed" % (arch.bits, key))
            self.expect(self.reg_query(self.arches[0], "HKCR\\TypeLib\\%s" % self.ids.libid)
                        is None,
                        "type library removed")
        finally:
            self.register_all()  # leave the prefix as the other tests expect it

    def test_package(self):
        """The zip a site receives: its .cmd scripts register and unregister its own DLLs,
        and its examples read the scale."""
        work = os.path.join(os.path.dirname(self.prefix), "package-test")
        shutil.rmtree(work, ignore_errors=True)
        # The script prints the zip it made; its name carries the version.
        made = subprocess.run([os.path.join(self.args.source, "scripts", "package-windows"),
                               "--no-build", "--win32", self.args.win32, "--win64",
                               self.args.win64, "--out", work], check=True,
                              stdout=subprocess.PIPE, text=True, timeout=120)
        zip_path = made.stdout.strip().splitlines()[-1]
        self.expect(os.path.dirname(zip_path) == os.path.abspath(work) and
                    re.fullmatch(r"Qel_weigher-\d+\.\d\d-win\.zip", os.path.basename(zip_path)),
                    "package-windows made %s" % zip_path)
        subprocess.run(["unzip", "-q", zip_path], cwd=work, check=True, timeout=60)
        unpacked = zip_path[:-len(".zip")]
        dlls = {32: os.path.join(unpacked, "x86", "Qel_weigher.dll"),
                64: os.path.join(unpacked, "x64", "Qel_weigher.dll")}
        suffix = {32: "x86", 64: "x64"}
        self.start_scale("1.234")
        try:
            for arch in self.arches:
                self.wine(arch.regsvr32, "/u", "/s", windows_path(arch.dll), loader=arch.loader)
                # An administrator's prompt on 64-bit Windows is a 64-bit cmd.
                self.wine("cmd", "/c", windows_path(
                    os.path.join(unpacked, "register-%s.cmd" % suffix[arch.bits])), "/s",
                          loader=WINE64)
                server = self.reg_query(arch, "HKCR\\CLSID\\%s\\InprocServer32" % self.ids.clsid)
                self.expect(server is not None and
                            windows_path(dlls[arch.bits]).lower() in server.lower(),
                            "register-%s.cmd registers the packed DLL" % suffix[arch.bits])
                _, out = self.wine(arch.cscript, "//nologo", windows_path(
                    os.path.join(unpacked, "examples", "read_weight.vbs")), "COM3",
                                   loader=arch.loader)
                got = self.script_lines(out)
                self.expect(got.get("weight") == "1.234 String",
                            "%d-bit packed example reads 1.234: %r" % (arch.bits, out))
                self.wine("cmd", "/c", windows_path(
                    os.path.join(unpacked, "unregister-%s.cmd" % suffix[arch.bits])), "/s",
                          loader=WINE64)
                got = self.run_script(arch, "create_only.vbs").strip()
                self.expect(got.startswith("create failed"),
                            "unregister-%s.cmd removes the class" % suffix[arch.bits])
        finally:
            self.register_all()  # leave the prefix as the other tests expect it
            shutil.rmtree(work, ignore_errors=True)

    def test_service(self):
        """qelscaled.exe reads the virtual scale through Wine's COM ports and answers HTTP on
        loopback: one on-demand reading, then the stream with its stable mark, on COM3 and on
        COM12, whose device name differs from COM1 to COM9's; each bitness that runs here.
        Its way of listening keeps other sockets off its port (Wine refuses a second
        SO_REUSEADDR bind either way, so the probe also checks the option itself)."""
        for arch in self.arches:
            exe = os.path.join(arch.build_dir, "service", "qelscaled.exe")
            if not os.path.exists(exe):
                raise Failure("no %s (build the win%d preset)" % (exe, arch.bits))
            code, out = self.wine(arch.client("qel_listen_probe"), check=False,
                                  loader=arch.loader)
            print(out.rstrip())
            self.expect(code == 0, "%d-bit: the listening socket holds its port exclusively"
                        % arch.bits)
            pty = self.start_scale("2.345")
            self.map_port("COM12", pty)
            self.start_session("en_US.UTF-8")
            for com in ("COM3", "COM12"):
                for mode in ("--port", "--stream"):
                    self.check_service(arch, exe, com, mode)
            self.check_secret_file(arch, exe)

    def test_service_manager(self):
        """qelscaled.exe under Wine's service manager, each bitness that runs here, from its
        own build folder: the stored arguments (a quoted one among them) start it and
        net stop ends Serve() with status 0; a refused command line and no arguments at all
        stop it at once with the service's own exit status 2 rather than leaving it
        starting. The MSI's install of it is tested in tests/package/msi_suite.py."""
        for arch in self.arches:
            exe = os.path.join(arch.build_dir, "service", "qelscaled.exe")
            if not os.path.exists(exe):
                raise Failure("no %s (build the win%d preset)" % (exe, arch.bits))
            self.start_scale("2.345")
            self.start_session("en_US.UTF-8")
            name = "qelscaled"
            self.wine("C:\\windows\\system32\\sc.exe", "delete", name, check=False)
            self.wine("C:\\windows\\system32\\sc.exe", "create", name, "binPath=",
                      windows_path(exe), "start=", "demand")
            try:
                self.check_managed_run(arch, name)
            finally:
                self.wine("C:\\windows\\system32\\net.exe", "stop", name, check=False)
                self.wine("C:\\windows\\system32\\sc.exe", "delete", name, check=False)
                self.wine("reg", "delete", SERVICE_KEY, "/f", "/reg:64", check=False)

    def managed_state(self, name, wanted, within):
        """(state word, service exit code) of `sc query` once it shows `wanted` or time is
        up."""
        deadline = time.time() + within
        while True:
            _, out = self.wine("C:\\windows\\system32\\sc.exe", "query", name, check=False)
            state = re.search(r"STATE\s*:\s*\d+\s+(\w+)", out)
            code = re.search(r"SERVICE_EXIT_CODE\s*:\s*(\d+)", out)
            found = (state.group(1) if state else None, int(code.group(1)) if code else None)
            if found[0] == wanted or time.time() > deadline:
                return found
            time.sleep(1)

    def check_managed_run(self, arch, name):
        import json
        import urllib.request
        within = 300 if arch.bits == 32 and wine_host.i386_support()[0] == "emulated" else 30
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        self.wine("reg", "add", SERVICE_KEY, "/v", "Arguments", "/d",
                  '--stream COM3 --listen "127.0.0.1:%d"' % port, "/f", "/reg:64")
        self.wine("C:\\windows\\system32\\net.exe", "start", name, check=False,
                  timeout=within + 60)
        self.expect(self.managed_state(name, "RUNNING", within)[0] == "RUNNING",
                    "%d-bit: started by the service manager: RUNNING" % arch.bits)
        reading = None
        deadline = time.time() + within
        while time.time() < deadline and not (reading and reading["stable"]):
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/v1/weight?port=COM3" % port,
                                            timeout=10) as response:
                    reading = json.loads(response.read())
            except OSError:
                time.sleep(0.5)
        self.expect(reading is not None and reading["value"] == 2.345,
                    "%d-bit: the service reads COM3 with the stored arguments: %s"
                    % (arch.bits, reading))
        self.wine("C:\\windows\\system32\\net.exe", "stop", name, check=False)
        self.expect(self.managed_state(name, "STOPPED", within) == ("STOPPED", 0),
                    "%d-bit: net stop: Serve() ends cleanly, STOPPED with status 0" % arch.bits)
        for arguments, what in (("--stream COM3 --bogus", "a refused command line"),
                                (None, "no arguments")):
            if arguments is None:
                self.wine("reg", "delete", SERVICE_KEY, "/f", "/reg:64")
            else:
                self.wine("reg", "add", SERVICE_KEY, "/v", "Arguments", "/d", arguments, "/f",
                          "/reg:64")
            self.wine("C:\\windows\\system32\\net.exe", "start", name, check=False,
                      timeout=within + 60)
            found = self.managed_state(name, "STOPPED", within)
            self.expect(found == ("STOPPED", 2),
                        "%d-bit: %s: STOPPED with exit status 2: %s" % (arch.bits, what, found))

    def test_protocols(self):
        """qelscaled.exe reads a polled (mt-sics) and a continuous (cas) scale through Wine's
        COM3 with the port options, at the protocols' own lines set through the DCB, and a
        tare reaches the polled one. (Wine sets a parity line's input flags its own way, so
        the 7-bit protocols cannot be read through Wine's pseudo-terminal ports.)"""
        for arch in self.arches:
            exe = os.path.join(arch.build_dir, "service", "qelscaled.exe")
            if not os.path.exists(exe):
                raise Failure("no %s (build the win%d preset)" % (exe, arch.bits))
            self.start_session("en_US.UTF-8")
            for protocol, mode in (("mt-sics", "--stream"), ("cas", "--port")):
                self.start_scale("2.345", protocol=protocol)
                self.check_protocol(arch, exe, protocol, mode)

    def check_protocol(self, arch, exe, protocol, mode):
        import json
        import urllib.error
        import urllib.request
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        what = "%d-bit %s COM3?protocol=%s" % (arch.bits, mode, protocol)
        service = subprocess.Popen(
            [arch.loader, exe, mode, "COM3?protocol=" + protocol, "--listen",
             "127.0.0.1:%d" % port], env=self.env(), stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        try:
            base = "http://127.0.0.1:%d/v1/" % port
            deadline = time.time() + (300 if arch.bits == 32 else 60)
            reading = None
            while time.time() < deadline:
                try:
                    with urllib.request.urlopen(base + "weight?port=COM3", timeout=10) as answer:
                        reading = json.loads(answer.read())
                except OSError:
                    time.sleep(0.5)
                    continue
                if reading["ok"]:
                    break
                time.sleep(0.2)
            print("%s: %s" % (what, reading))
            self.expect(reading is not None and reading["ok"] and reading["value"] == 2.345
                        and reading["protocol"] == protocol and reading["unit"] == "kg"
                        and reading["port"] == "COM3", "%s reads 2.345 kg" % what)
            request = urllib.request.Request(base + "tare?port=COM3", method="POST", data=b"",
                                             headers={"Content-Type": "application/json"})
            try:
                with urllib.request.urlopen(request, timeout=30) as answer:
                    status, body = answer.status, json.loads(answer.read())
            except urllib.error.HTTPError as error:
                status, body = error.code, json.loads(error.read())
            wanted = (200, {"port": "COM3", "command": "tare", "ok": True}) \
                if protocol == "mt-sics" else (409, {"error": "not-supported"})
            self.expect((status, body) == wanted, "%s: tare answers %s" % (what, wanted))
        finally:
            service.kill()
            out, _ = service.communicate(timeout=30)
            print(out.decode("utf-8", "replace").rstrip())

    def check_secret_file(self, arch, exe):
        """A token file Everyone may read or write is refused: Wine gives a file of mode 0644
        an entry letting Everyone read, one of mode 0602 one letting Everyone write, and one of
        mode 0600 none."""
        work = tempfile.mkdtemp(prefix="qel-secret-")
        try:
            token = os.path.join(work, "token")
            with open(token, "w") as f:
                f.write("s3cret-token-0123456789abcdef\n")
            argv = [arch.loader, exe, "--port", "COM3", "--listen", "127.0.0.1:0",
                    "--token-file", windows_path(token)]
            os.chmod(token, 0o644)
            run = subprocess.run(argv, env=self.env(), stdin=subprocess.DEVNULL,
                                 capture_output=True, text=True, timeout=300)
            self.expect(run.returncode == 2 and "readable by Everyone or Users" in run.stderr,
                        "%d-bit: a token file of mode 644 is refused (%d: %s)" % (
                            arch.bits, run.returncode, run.stderr.strip()))
            os.chmod(token, 0o602)
            run = subprocess.run(argv, env=self.env(), stdin=subprocess.DEVNULL,
                                 capture_output=True, text=True, timeout=300)
            self.expect(run.returncode == 2 and "writable by Everyone: let only its owner "
                        "write it" in run.stderr,
                        "%d-bit: a token file of mode 602 is refused (%d: %s)" % (
                            arch.bits, run.returncode, run.stderr.strip()))
            os.chmod(token, 0o600)
            service = subprocess.Popen(argv, env=self.env(), stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                       text=True)
            try:
                first = service.stdout.readline()  # "listening on ..." or the refusal
            finally:
                service.kill()
                service.wait(timeout=30)
            self.expect("listening on" in first,
                        "%d-bit: a token file of mode 600 is taken (%s)" % (arch.bits,
                                                                            first.strip()))
        finally:
            shutil.rmtree(work, ignore_errors=True)

    def check_service(self, arch, exe, com, mode):
        import json
        import socket
        import threading
        import urllib.request
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        what = "%d-bit %s %s" % (arch.bits, mode, com)
        service = subprocess.Popen(
            [arch.loader, exe, mode, com, "--listen", "127.0.0.1:%d" % port,
             "--stable-ms", "300"], env=self.env(), stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        lines = []
        reader = threading.Thread(target=lambda: lines.extend(service.stdout), daemon=True)
        reader.start()
        try:
            url = "http://127.0.0.1:%d/v1/weight?port=%s" % (port, com)
            deadline = time.time() + (300 if arch.bits == 32 else 60)
            reading = None
            while time.time() < deadline:
                try:
                    with urllib.request.urlopen(url, timeout=10) as response:
                        reading = json.loads(response.read())
                except OSError:
                    time.sleep(0.5)
                    continue
                if reading["ok"] and (mode == "--port" or reading["stable"]):
                    break
                time.sleep(0.2)
            print("%s: %s" % (what, reading))
            self.expect(reading is not None and reading["ok"] and reading["value"] == 2.345
                        and reading["text"] == "2.345", "%s reads 2.345 over HTTP" % what)
            self.expect(reading is not None and reading["stable"] ==
                        (None if mode == "--port" else True),
                        "%s: stable is %s" % (what, "null" if mode == "--port" else "true"))
            refused = urllib.request.Request(url, headers={"Host": "evil.example"})
            try:
                urllib.request.urlopen(refused, timeout=10)
                status = 200
            except urllib.error.HTTPError as error:
                status = error.code
            self.expect(status == 403, "%s: a rebinding Host is refused under Wine too" % what)
        finally:
            service.kill()
            service.wait(timeout=30)
            reader.join(timeout=5)
            print("".join(line.decode("utf-8", "replace") for line in lines).rstrip())

    def measure(self):
        self.register_all()
        self.start_scale("1.234")
        for arch in self.arches:
            _, out = self.wine(arch.client(), "measure", self.args.weight or "40")
            print("%d-bit:\n%s" % (arch.bits, out.rstrip()))
        for arch in self.arches:
            print("%d-bit Qel_weigher.dll: %d bytes" % (arch.bits, os.path.getsize(arch.dll)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--scale", required=True)
    parser.add_argument("--win32", required=True)
    parser.add_argument("--win64", required=True)
    parser.add_argument("--scripts", required=True)
    parser.add_argument("--examples", required=True)
    parser.add_argument("--source", default=os.path.join(os.path.dirname(__file__), "..", ".."))
    parser.add_argument("--subset32", action="store_true",
                        help="the 32-bit subset, in a prefix of its own, natively or emulated")
    parser.add_argument("test", choices=["setup", "register", "scripts", "client", "locales",
                                         "unregister", "example", "hosted", "dll", "measure",
                                         "package", "reentry", "com_names", "service",
                                         "protocols", "service_manager"])
    parser.add_argument("scenario", nargs="?")
    parser.add_argument("weight", nargs="?")
    args = parser.parse_args()

    if not os.path.exists(WINE64) or not shutil.which("wineserver"):
        print("SKIP: wine is not installed")
        return SKIP
    mode, reason = wine_host.i386_support()
    if args.subset32 and mode == "skip" and args.test != "dll":
        return wine_host.skip_32bit(reason)
    missing = wine_host.missing_windows_build((args.win32, args.win64))
    if missing is not None:
        return missing
    if args.test == "dll":
        suite = Suite(args)
        suite.test_dll_surface()
        return 0 if suite.failures == 0 else 1

    def pick(suite):
        return {
            "setup": suite.test_setup, "register": suite.test_register,
            "scripts": suite.test_scripts, "client": suite.test_client,
            "locales": suite.test_locales, "unregister": suite.test_unregister,
            "example": suite.test_early_binding_example, "hosted": suite.test_hosted,
            "dll": suite.test_dll_surface, "measure": suite.measure,
            "package": suite.test_package, "reentry": suite.test_reentry,
            "com_names": suite.test_com_names, "service": suite.test_service,
            "protocols": suite.test_protocols,
            "service_manager": suite.test_service_manager}[args.test]

    ready = args.test == "setup" or os.path.isdir(os.path.join(args.prefix, "drive_c"))
    return wine_host.run_in_prefix(args.prefix, ready, lambda: Suite(args), args.test, pick)


if __name__ == "__main__":
    sys.exit(main())
