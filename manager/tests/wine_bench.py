#!/usr/bin/env python3
"""weightbench.exe under Wine, driven from outside as an operator would.

Runs inside an X server of its own (the CTest command wraps it in `xvfb-run -a`). Takes a
copy of the build's Wine prefix (made once by the Wine suite's setup test), so that the
bench's desktop and screen settings stay out of the suite's prefix; registers Qel_weigher.dll, maps COM3 to the virtual scale's
pseudo-terminal and then only moves the mouse and presses keys (xdotool). What the window
shows is read back with benchprobe.exe, which lists the bench's windows and texts.

Checks: layout against the control table, connect to COM3 (" -> OK!"), a reading in
LblInput after "ЗАПРОС", disconnect, and the creation-failure message once the DLL is
unregistered. With --screenshot it also saves the window after the reading.

Exit status: 0 passed, 1 failed, 77 skipped (build or tool missing).
"""

import argparse
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "wine"))
import wine_host  # noqa: E402  (the loaders and the prefixes every Wine test shares)

SKIP = wine_host.SKIP

WINE_CALL_TIMEOUT = 60      # seconds for any one wine command
WAIT_TIMEOUT = 30           # seconds for the bench to show what we wait for

CREATION_FAILED = "Нет связи с Qel_weigher.dll!\n\rперезапустите программу"
PROBE_FAILED = "Нет связи с вессами RLS1000!"


class TestFailure(Exception):
    pass


def log(text):
    print(text, flush=True)


def check(condition, what):
    if not condition:
        raise TestFailure(what)
    log("ok: " + what)


# --- the control table, as the tool built from manager/logic prints it -------------------

FIRST_CONTROL_ID = 100  # the Win32 bench numbers its controls from here, in ControlId order


def read_control_table(tool):
    try:
        printed = subprocess.run([tool], check=True, capture_output=True, timeout=30).stdout
        table = json.loads(printed)
    except (OSError, subprocess.SubprocessError, ValueError) as error:
        raise TestFailure("could not read the control table from %s: %s" % (tool, error))
    controls = {}
    for entry in table["controls"]:
        controls[entry["name"]] = {
            "id": FIRST_CONTROL_ID + entry["index"],
            "kind": entry["kind"], "caption": entry["caption"], "twips": entry["twips"],
            "tab": entry["tab_index"], "enabled": entry["enabled_at_start"],
        }
    return controls, table["client_twips"]


def px(twips, dpi):
    return (twips * dpi + 720) // 1440


# --- Wine ----------------------------------------------------------------------------

class Wine:
    def __init__(self, prefix, machine):
        self.env = dict(os.environ)
        self.env.update({
            "WINEPREFIX": prefix,
            "WINEDEBUG": "-all",
            # No Mono or Gecko installer dialogs in a headless run.
            "WINEDLLOVERRIDES": "mscoree=d;mshtml=d",
            "LC_ALL": "C.UTF-8",
        })
        self.prefix = prefix
        self.machine = machine
        self.bits = 32 if machine == "i386" else 64
        # The bench's own programs (weightbench.exe, benchprobe.exe) are of its bitness.
        self.loader = wine_host.loader(self.bits)

    def run(self, *args, check_rc=True, timeout=WINE_CALL_TIMEOUT, loader=None):
        # System programs (reg) run 64-bit; the bench's programs under their own loader.
        if loader is None:
            loader = self.loader if args[0].startswith("C:\\qel\\") else wine_host.WINE64
        timeout = wine_host.timeout_for(32 if loader == wine_host.WINE32 else 64, timeout)
        # Output goes through files: a pipe would stay open as long as any process that Wine
        # starts on the side (wineserver, services) and the call would wait for all of them.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            result = subprocess.run([loader, *args], env=self.env, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=err, timeout=timeout)
            out.seek(0)
            err.seek(0)
            stdout, stderr = out.read(), err.read()
        if check_rc and result.returncode != 0:
            raise TestFailure("wine %s failed (%d): %s" % (
                " ".join(args), result.returncode, stderr.decode(errors="replace")[-400:]))
        return stdout.decode("utf-8", errors="replace")

    def start(self, *args):
        return subprocess.Popen([self.loader, *args], env=self.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)

    def regsvr32(self, dll, unregister=False):
        # A 32-bit DLL is registered by the 32-bit regsvr32, into the 32-bit registry view.
        # `wine` starts system programs as 32-bit processes (system32 redirected), so the
        # 64-bit regsvr32 needs the 64-bit loader.
        folder = "syswow64" if self.machine == "i386" else "system32"
        loader = wine_host.loader(self.bits)
        args = ["C:\\windows\\%s\\regsvr32.exe" % folder, "/s"]
        if unregister:
            args.append("/u")
        self.run(*args, dll, loader=loader)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=WINE_CALL_TIMEOUT,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=WINE_CALL_TIMEOUT,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def pe_machine(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    offset = struct.unpack_from("<I", data, 0x3C)[0]
    machine = struct.unpack_from("<H", data, offset + 4)[0]
    return {0x14C: "i386", 0x8664: "x86_64"}.get(machine, hex(machine))


def make_prefix(wine, shared_prefix, scale_path, dpi):
    shutil.copytree(shared_prefix, wine.prefix, symlinks=True)
    # Every program on one virtual desktop, so that the probe sees the bench's windows and
    # Wine draws the window frames itself (there is no window manager).
    wine.run("reg", "add", "HKCU\\Software\\Wine\\Explorer", "/v", "Desktop", "/d", "Default",
             "/f")
    wine.run("reg", "add", "HKCU\\Software\\Wine\\Explorer\\Desktops", "/v", "Default", "/d",
             "1024x768", "/f")
    wine.run("reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM3", "/d", scale_path, "/f")
    if dpi:
        wine.run("reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t",
                 "REG_DWORD", "/d", str(dpi), "/f")
    # The desktop of the running session was made before the settings: start afresh.
    wine.stop()
    # COM4 points nowhere, for a port that cannot be opened.
    wine.run("reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM4", "/d",
             "/nonexistent/ttyQEL", "/f")
    for name, target in (("com3", scale_path), ("com4", "/nonexistent/ttyQEL")):
        link = os.path.join(wine.prefix, "dosdevices", name)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(target, link)


# --- reading the screen back -----------------------------------------------------------

class Screen:
    def __init__(self, wine, probe):
        self.wine = wine
        self.probe = probe

    def windows(self):
        tops = {}
        for line in self.wine.run(self.probe, "list").splitlines():
            line = line.strip()
            if not line.startswith("{"):
                continue
            item = json.loads(line)
            if item["kind"] == "top":
                item["children"] = []
                tops[item["hwnd"]] = item
            elif item["top"] in tops:
                tops[item["top"]]["children"].append(item)
        return list(tops.values())

    def form(self):
        for top in self.windows():
            if top["class"] == "WeightbenchForm1":
                return top
        return None

    def message_box(self, caption="weightbench"):
        for top in self.windows():
            if top["class"] == "#32770" and top["text"] == caption:
                return top
        return None

    def wait(self, what, get, timeout=WAIT_TIMEOUT):
        timeout = wine_host.timeout_for(self.wine.bits, timeout)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = get()
            if value:
                return value
            time.sleep(0.2)
        raise TestFailure("timed out waiting for " + what)


def child(form, control_id):
    for item in form["children"]:
        if item["id"] == control_id:
            return item
    raise TestFailure("control %d not found" % control_id)


def by_id_name(controls, control_id):
    for name, entry in controls.items():
        if entry["id"] == control_id:
            return name
    return str(control_id)


SS_TYPEMASK, SS_ICON = 0x1F, 0x3


def box_contents(box):
    texts = [c["text"] for c in box["children"]
             if c["class"] == "Static" and (c["style"] & SS_TYPEMASK) != SS_ICON and c["text"]]
    icon = any(c["has_icon"] and c["visible"] for c in box["children"])
    ok = [c for c in box["children"] if c["class"] == "Button" and c["visible"]]
    return ("".join(texts), icon, ok)


# --- the operator's hands --------------------------------------------------------------

class Hands:
    def __init__(self):
        desktops = subprocess.run(["xdotool", "search", "--name", "Wine desktop"],
                                  capture_output=True, text=True, timeout=10).stdout.split()
        if not desktops:
            raise TestFailure("no Wine desktop window on the X display")
        self.desktop = desktops[0]
        info = subprocess.run(["xwininfo", "-id", self.desktop], capture_output=True, text=True,
                              timeout=10).stdout
        self.origin = (int(re.search(r"Absolute upper-left X:\s+(-?\d+)", info).group(1)),
                       int(re.search(r"Absolute upper-left Y:\s+(-?\d+)", info).group(1)))

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], check=True, timeout=10)

    def click(self, control):
        x, y, w, h = control["screen"]
        # No --sync: it waits for motion, and there is none when the pointer is already there.
        self.xdotool("mousemove", str(self.origin[0] + x + w // 2),
                     str(self.origin[1] + y + h // 2), "sleep", "0.1", "click", "1", "sleep",
                     "0.1", "mousemove_relative", "--", "-5", "-5")

    def keys(self, *names):
        self.xdotool("key", "--delay", "50", *names)

    def type(self, text):
        self.xdotool("type", "--delay", "50", text)

    def screenshot(self, window, path):
        x, y, w, h = window["screen"]
        subprocess.run(["import", "-window", self.desktop, "-crop", "%dx%d+%d+%d" % (w, h, x, y),
                        "+repage", path], check=True, timeout=30)


# --- the scenario ----------------------------------------------------------------------

def answer_message(screen, hands, caption="weightbench", before_ok=None):
    box = screen.wait("a message box", lambda: screen.message_box(caption))
    text, icon, buttons = box_contents(box)
    log("message box %r: %r (icon: %s)" % (caption, text, icon))
    check(len(buttons) == 1, "the message box has one button")
    if before_ok:
        before_ok()
        # The click may have brought Form1 to the front: bring the box back first by its
        # title bar.
        x, y, w, _ = box["screen"]
        hands.click({"screen": [x, y, w, 12]})
    hands.click(buttons[0])
    screen.wait("the message box to close", lambda: screen.message_box(caption) is None)
    return text, icon


# A few controls as the bench's description gives them (left, top, width, height in twips,
# inside Frame2 but for Frame2 itself), written here rather than taken from the control
# table, so that a wrong number in that table shows.
DESCRIBED_TWIPS = {"Frame2": (120, 120, 3975, 2295), "CmdOn": (240, 720, 3495, 375),
                   "ComboPort": (3120, 240, 615, 315), "LblInput": (2040, 1200, 1695, 375)}
DESCRIBED_CLIENT_TWIPS = (4230, 2565)


def check_described_layout(form, controls):
    dpi = form["dpi"]
    check(form["client_size"] == [px(t, dpi) for t in DESCRIBED_CLIENT_TWIPS],
          "client area %s as described" % form["client_size"])
    frame = DESCRIBED_TWIPS["Frame2"]
    for name, (left, top, width, height) in DESCRIBED_TWIPS.items():
        if name != "Frame2":
            left, top = frame[0] + left, frame[1] + top
        got = child(form, controls[name]["id"])["client"]
        expected = [px(left, dpi), px(top, dpi), px(width, dpi), px(height, dpi)]
        slack = 2 if name == "ComboPort" else 0  # see check_layout
        check(got[:3] == expected[:3] and expected[3] <= got[3] <= expected[3] + slack,
              "%s at %s as described (%s)" % (name, got, expected))


def check_layout(args, form, controls, client):
    check_described_layout(form, controls)
    dpi = form["dpi"]
    check(form["text"] == "weightbench", "the caption is weightbench")
    if args.dpi:
        check(dpi == args.dpi, "the window is at %d dpi" % args.dpi)
    check(form["client_size"] == [px(client[0], dpi), px(client[1], dpi)],
          "client area %s at %d dpi" % (form["client_size"], dpi))
    frame = controls["Frame2"]["twips"]
    for name, entry in controls.items():
        item = child(form, entry["id"])
        left, top, width, height = entry["twips"]
        if name != "Frame2":
            left, top = frame[0] + left, frame[1] + top
        expected = [px(left, dpi), px(top, dpi), px(width, dpi), px(height, dpi)]
        if entry["kind"] == "ComboBox":
            # A closed combo box cannot be lower than its font needs; at high DPI the system
            # font may ask for a pixel or two more than the table.
            got = item["client"]
            check(got[:3] == expected[:3] and expected[3] <= got[3] <= expected[3] + 2,
                  "%s at %s (table: %s, height +2 allowed)" % (name, got, expected))
        else:
            check(item["client"] == expected,
                  "%s at %s (table: %s)" % (name, item["client"], expected))
        check(item["enabled"] == entry["enabled"], "%s enabled=%s at start" % (name, entry["enabled"]))
        if entry["kind"] != "ComboBox":
            check(item["text"] == entry["caption"], "%s reads %r" % (name, entry["caption"]))
    combo = child(form, controls["ComboPort"]["id"])
    check(combo["text"] == "1", "ComboPort reads 1")
    # Children are listed in Z order, which is the Tab order of the ones with WS_TABSTOP.
    ws_tabstop = 0x00010000
    by_id = {entry["id"]: name for name, entry in controls.items()}
    order = [by_id[c["id"]] for c in form["children"]
             if c["id"] in by_id and c["style"] & ws_tabstop]
    expected_order = sorted((n for n, s in controls.items() if s["kind"] in ("Button", "ComboBox")),
                            key=lambda n: controls[n]["tab"])
    check(order == expected_order, "tab order %s" % order)


def scenario(args, work):
    controls, client = read_control_table(args.control_table_tool)
    build = os.path.abspath(args.build_dir)
    exe = os.path.join(build, "manager", "weightbench.exe")
    probe = os.path.join(build, "manager", "benchprobe.exe")
    dll = os.path.join(build, "src", "com", "Qel_weigher.dll")
    for path in (exe, probe, dll):
        if not os.path.exists(path):
            log("SKIP: %s not built" % path)
            return SKIP
    for tool in (wine_host.WINE64, "wineserver", "xdotool", "xwininfo", "import"):
        if shutil.which(tool) is None:
            log("SKIP: %s not installed" % tool)
            return SKIP

    # No link-time tie to the driver, and nothing but system DLLs (static C++ runtime).
    # The objdump of the toolchain that built the exe: never left out when missing.
    objdump = shutil.which("x86_64-w64-mingw32-objdump")
    check(objdump is not None, "x86_64-w64-mingw32-objdump present for the import check")
    dump = subprocess.run([objdump, "-p", exe], capture_output=True, text=True,
                          timeout=30).stdout
    imports = sorted(set(re.findall(r"DLL Name: (\S+)", dump)), key=str.lower)
    system = {"comctl32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll",
              "oleaut32.dll", "user32.dll"}
    check(imports and all(name.lower() in system for name in imports),
          "weightbench.exe imports only %s" % imports)

    scale = subprocess.Popen([args.virtual_scale, "--weight", "1.234"], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True)
    wine = Wine(os.path.join(work, "prefix"), pe_machine(exe))
    bench = None
    try:
        scale_path = scale.stdout.readline().strip()
        check(scale_path.startswith("/"), "virtual scale on %s" % scale_path)
        make_prefix(wine, args.prefix, scale_path, args.dpi)
        program_dir = os.path.join(wine.prefix, "drive_c", "qel")
        os.makedirs(program_dir)
        for path in (exe, probe, dll):
            shutil.copy(path, program_dir)
        wine.regsvr32("C:\\qel\\Qel_weigher.dll")

        bench = wine.start("C:\\qel\\weightbench.exe")
        screen = Screen(wine, "C:\\qel\\benchprobe.exe")
        form = screen.wait("Form1", screen.form)
        hands = Hands()
        check_layout(args, form, controls, client)

        # Port 4 leads nowhere: click into the combo box's text and replace it by keyboard.
        combo = child(form, controls["ComboPort"]["id"])
        edit = [c for c in form["children"] if c["class"] == "Edit"
                and c["screen"][0] >= combo["screen"][0] and c["screen"][1] >= combo["screen"][1]]
        port_box = edit[0] if edit else combo

        def enter_port(text):
            hands.click(port_box)
            hands.keys("End", *["BackSpace"] * 4)
            hands.type(text)
            # Fails with a timeout when the typed text never shows up in the box.
            screen.wait("ComboPort to read %r" % text, lambda: (lambda f: f if child(
                f, controls["ComboPort"]["id"])["text"] == text else None)(screen.form()))
            log("ok: ComboPort reads %r" % text)

        enter_port("4")
        hands.click(child(form, controls["CmdOn"]["id"]))

        # The driver's own box is owned by Form1, which stays disabled while it is up. A
        # click on Form1 during the call must change nothing: a second connect now would
        # replace the object whose call is still running, so the next box is the bench's
        # and not another one from the driver.
        def click_on_during_the_call():
            hands.click(child(form, controls["CmdOn"]["id"]))
            time.sleep(1.0)

        text, icon = answer_message(screen, hands, "Qel_weigher", click_on_during_the_call)
        check(text.startswith("Не могу открыть порт COM4: ") and not icon,
              "the driver reports the port it cannot open")
        box = screen.wait("the next message box", lambda: next(
            (top for top in screen.windows() if top["class"] == "#32770"), None))
        check(box["text"] == "weightbench", "the click during the call was ignored")
        text, icon = answer_message(screen, hands)
        check(text == PROBE_FAILED and icon, "then the bench: %r with the stop icon" % text)
        form = screen.form()
        check(form is not None, "the bench survived the click during the call")
        check(not child(form, controls["CmdSend"]["id"])["enabled"], "ЗАПРОС stays disabled")
        check(child(form, controls["CmdOn"]["id"])["enabled"], "Подключить DLL stays enabled")

        # Port 3, with spaces around it, after the failed probe.
        enter_port(" 3 ")
        # Tab from the port box wraps to the lowest tab index; the disabled ЗАПРОС is skipped.
        focus = []
        for _ in range(3):
            hands.keys("Tab")
            time.sleep(0.2)
            form = screen.form()
            # The combo box's text field is its only Edit child.
            focus.append(next(("ComboPort" if c["class"] == "Edit" else by_id_name(
                controls, c["id"]) for c in form["children"] if c["hwnd"] == form["focus"]),
                form["focus"]))
        check(focus == ["CmdOff", "CmdOn", "ComboPort"], "Tab moves through %s" % focus)

        hands.click(child(form, controls["CmdOn"]["id"]))
        text, icon = answer_message(screen, hands)
        check(text == "COM3 -> OK!" and not icon, "connect says 'COM3 -> OK!' without an icon")
        form = screen.form()
        check(child(form, controls["CmdSend"]["id"])["enabled"], "ЗАПРОС is enabled")
        check(not child(form, controls["CmdOn"]["id"])["enabled"], "Подключить DLL is disabled")

        hands.click(child(form, controls["CmdSend"]["id"]))
        lbl = controls["LblInput"]["id"]
        form = screen.wait("a reading", lambda: (lambda f: f if child(f, lbl)["text"] else None)(
            screen.form()))
        reading = child(form, lbl)["text"]
        check(reading == args.expect_weight, "LblInput shows %r" % reading)
        if args.screenshot:
            hands.screenshot(form, args.screenshot)
            log("screenshot: " + args.screenshot)

        # A new weight on the scale: the very next reading shows it, never a frame from
        # before the call.
        scale.stdin.write("weight 2.5\n")
        scale.stdin.flush()
        expected = "2" + args.expect_weight[1] + "500"  # same decimal separator
        hands.click(child(form, controls["CmdSend"]["id"]))
        shown = reading
        deadline = time.monotonic() + 10
        while shown == reading and time.monotonic() < deadline:
            time.sleep(0.3)
            form = screen.form()
            shown = child(form, lbl)["text"]
        check(shown == expected, "the next reading follows the scale: %r" % shown)

        hands.click(child(form, controls["CmdOff"]["id"]))
        form = screen.wait("the disconnect", lambda: (
            lambda f: f if child(f, lbl)["text"] == "" else None)(screen.form()))
        check(not child(form, controls["CmdSend"]["id"])["enabled"], "disconnect disables ЗАПРОС")
        check(child(form, controls["CmdOn"]["id"])["enabled"], "disconnect enables Подключить DLL")

        wine.regsvr32("C:\\qel\\Qel_weigher.dll", unregister=True)
        hands.click(child(form, controls["CmdOn"]["id"]))
        text, icon = answer_message(screen, hands)
        check(text == CREATION_FAILED and icon, "unregistered: the creation-failure message")
        form = screen.form()
        check(child(form, controls["CmdOn"]["id"])["enabled"], "the bench stays usable")

        wine.run("C:\\qel\\benchprobe.exe", "close", form["hwnd"])
        bench.wait(timeout=WAIT_TIMEOUT)
        check(bench.returncode == 0, "the bench ends when its window closes")
        bench = None
        return 0
    except TestFailure:
        if args.failure_screenshot:
            subprocess.run(["import", "-window", "root", args.failure_screenshot], timeout=30)
        raise
    finally:
        if bench is not None:
            os.killpg(bench.pid, signal.SIGKILL)
        wine.stop()
        try:
            scale.stdin.write("quit\n")
            scale.stdin.flush()
            scale.wait(timeout=5)
        except (OSError, subprocess.TimeoutExpired):
            scale.kill()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True, help="Windows build directory")
    parser.add_argument("--prefix", required=True,
                        help="the build's Wine prefix of the bench's bitness, copied for the run")
    parser.add_argument("--virtual-scale", required=True)
    parser.add_argument("--control-table-tool", required=True,
                        help="the Linux build's weightbench_control_table, which prints the table")
    parser.add_argument("--expect-weight", default="1.234",
                        help="the reading of 1.234 in the prefix's locale")
    parser.add_argument("--dpi", type=int, help="screen resolution of the prefix (LogPixels)")
    parser.add_argument("--failure-screenshot", help="save the screen here when a check fails")
    parser.add_argument("--screenshot", help="save the window after the reading (PNG)")
    args = parser.parse_args()
    if not os.environ.get("DISPLAY"):
        log("SKIP: no X display (run under xvfb-run -a)")
        return SKIP
    exe = os.path.join(args.build_dir, "manager", "weightbench.exe")
    if os.path.exists(exe) and pe_machine(exe) == "i386":
        mode, reason = wine_host.i386_support()
        if mode == "skip":
            return wine_host.skip_32bit(reason)
    if not os.path.isdir(os.path.join(args.prefix, "drive_c")):
        log("SKIP: no Wine prefix at %s (the Wine suite's setup test makes it)" % args.prefix)
        return SKIP
    work = tempfile.mkdtemp(prefix="weightbench-wine-")
    try:
        return scenario(args, work)
    except TestFailure as failure:
        log("FAIL: %s" % failure)
        return 1
    except subprocess.TimeoutExpired as timeout:
        log("FAIL: timed out: %s" % " ".join(map(str, timeout.cmd)))
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
