"""What every Wine test shares: the loaders, how this machine runs 32-bit code, and the
prefixes, each made once per build directory.

A 64-bit Windows program always runs natively, through the 64-bit loader. A 32-bit one runs
where the kernel runs i386 programs itself, or under qemu's user-mode emulation registered
by scripts/setup (see scripts/i386-support); where neither can be had, the 32-bit tests say
so in one loud line and count as skipped, never as passed.
"""

import functools
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
SKIP = 77

# The loaders themselves, never the `wine` wrapper script: that one always tries the 32-bit
# loader first, which a kernel without i386 support refuses.
WINE64 = shutil.which("wine64") or "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"


def loader(bits):
    return WINE32 if bits == 32 else WINE64


@functools.lru_cache(maxsize=None)
def i386_support():
    """("native" | "emulated" | "skip", reason), as scripts/i386-support reports it; asked
    once per process, since it starts a 32-bit program."""
    try:
        line = subprocess.run([os.path.join(SOURCE, "scripts", "i386-support"), "status"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60,
                              check=False).stdout.decode().strip()
    except (OSError, subprocess.TimeoutExpired) as error:
        return "skip", "scripts/i386-support did not answer: %s" % error
    word, _, reason = line.partition(":")
    return (word, reason.strip()) if word in ("native", "emulated", "skip") else \
        ("skip", "scripts/i386-support said %r" % line)


def timeout_for(bits, seconds):
    """A Wine call's time limit: emulated 32-bit code gets room to start slowly."""
    if bits == 32 and i386_support()[0] == "emulated":
        return seconds * 4
    return seconds


def skip_32bit(reason):
    print("=" * 78)
    print("SKIP 32-bit Windows tests: %s" % reason)
    print("=" * 78, flush=True)
    return SKIP


def base_env(prefix, locale="en_US.UTF-8"):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEDEBUG=os.environ.get("QEL_WINEDEBUG", "-all"),
               WINEARCH="win64",
               # No Mono or Gecko installer dialogs in a headless run.
               WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL=locale, LANG=locale)
    return env


def create_prefix(prefix, with_32bit, timeout=600):
    """Makes a 64-bit prefix with wineboot through the 64-bit loader.

    Without 32-bit support the i386 loader is hidden from wineboot (in a mount namespace of
    its own), so nothing 32-bit is started, not even under an emulation that is registered
    for the other tests: the prefix is then ready in seconds, with an empty syswow64.
    """
    if os.path.exists(prefix):
        shutil.rmtree(prefix)
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    env = base_env(prefix)
    boot = [WINE64, "wineboot", "-i"]
    wait = ["wineserver", "-w"]
    if with_32bit:
        commands = [boot, wait]
    else:
        script = 'mount --bind /dev/null "$0" || exit 1; "$@"; wineserver -w'
        namespace = ["unshare", "--mount"] if os.geteuid() == 0 else \
            ["unshare", "--user", "--map-root-user", "--mount"]
        commands = [namespace + ["sh", "-c", script, WINE32] + boot]
    for argv in commands:
        done = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=timeout, check=False)
        # wineboot's own status is not checked: without 32-bit support it reports the
        # 32-bit setup it could not start, which is the point. The prefix is checked below.
        if done.returncode != 0 and argv[0] == "unshare":
            raise RuntimeError("%s exited %d:\n%s" % (" ".join(argv), done.returncode,
                                                       done.stdout.decode(errors="replace")))
    if not os.path.isdir(os.path.join(prefix, "drive_c", "windows", "system32")):
        raise RuntimeError("wineboot made no prefix at %s" % prefix)


def stop_wineserver(prefix):
    env = base_env(prefix)
    for flag in ("-k", "-w"):
        subprocess.run(["wineserver", flag], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


class Failure(Exception):
    pass


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineSession:
    """One prefix's Wine session and the virtual scale on its COM3, as the suites use them."""

    WINE_TIMEOUT = 120

    def __init__(self, prefix, scale_program):
        self.prefix = os.path.abspath(prefix)
        self.scale_program = scale_program
        self.scale = None
        self.failures = 0
        self.session_locale = None

    def env(self, locale="en_US.UTF-8"):
        return base_env(self.prefix, locale)

    def start_session(self, locale="en_US.UTF-8"):
        """Starts the Wine session (wineserver, services, desktop) detached from our pipes.

        Programs started later in the session would otherwise hand their output pipe to
        those background processes, and reading it to the end would wait for them.
        """
        if self.session_locale == locale:
            return
        self.stop_wineserver()
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-p"], env=self.env(locale), timeout=30, **quiet)
        subprocess.run([WINE64, "cmd", "/c", "exit"], env=self.env(locale),
                       timeout=self.WINE_TIMEOUT, **quiet)
        self.session_locale = locale

    def stop_wineserver(self):
        """Ends the session; wineserver saves the registry as it goes."""
        self.session_locale = None
        stop_wineserver(self.prefix)

    def wine(self, *argv, locale="en_US.UTF-8", check=True, timeout=None, loader=WINE64):
        timeout = timeout_for(32 if loader == WINE32 else 64, timeout or self.WINE_TIMEOUT)
        self.start_session(locale)
        started = time.time()
        try:
            done = subprocess.run([loader, *argv], env=self.env(locale), stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failure("timed out after %ds: %s %s" % (timeout, os.path.basename(loader),
                                                          " ".join(argv)))
        out = done.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
        print("[%.1f s] %s %s" % (time.time() - started, os.path.basename(loader),
                                  " ".join(argv)), flush=True)
        if check and done.returncode != 0:
            raise Failure("%s exited %d:\n%s" % (" ".join(argv), done.returncode, out))
        return done.returncode, out

    def map_port(self, name, target):
        # mountmgr rewrites dosdevices from this key whenever Wine starts: set both.
        self.wine("reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", name, "/d", target, "/f")
        link = os.path.join(self.prefix, "dosdevices", name.lower())
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(target, link)
        if os.readlink(link) != target:
            raise Failure("%s maps to %s, not %s" % (name, os.readlink(link), target))

    def start_scale(self, weight="1.234", mode="normal", protocol="qel"):
        """A fresh virtual scale, mapped to COM3; returns its pseudo-terminal."""
        self.stop_scale()
        self.scale = subprocess.Popen([self.scale_program, "--weight", weight, "--mode", mode,
                                       "--protocol", protocol],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL)
        pty = self.scale.stdout.readline().decode().strip()
        if not pty.startswith("/"):
            raise Failure("virtual scale printed no pty path: %r" % pty)
        self.map_port("COM3", pty)
        return pty

    def stop_scale(self):
        if self.scale is None:
            return
        try:
            self.scale.stdin.write(b"quit\n")
            self.scale.stdin.flush()
            self.scale.wait(timeout=5)
        except (BrokenPipeError, subprocess.TimeoutExpired):
            self.scale.kill()
            self.scale.wait()
        self.scale = None

    def expect(self, condition, what):
        print(("ok: " if condition else "FAIL: ") + what, flush=True)
        if not condition:
            self.failures += 1

    @staticmethod
    def script_lines(out):
        return dict(line.split(" ", 1) for line in out.splitlines() if " " in line)


def rerun_on_virtual_display():
    """Message boxes need a real (virtual) display to be seen and answered: without one, the
    script runs itself again under xvfb-run. Returns that run's exit code, or None to go on."""
    if os.environ.get("DISPLAY") or os.environ.get("QEL_WINE_NO_XVFB"):
        return None
    if not shutil.which("xvfb-run"):
        print("SKIP: neither a display nor xvfb-run")
        return SKIP
    os.environ["QEL_WINE_NO_XVFB"] = "1"
    return subprocess.call(["xvfb-run", "-a", sys.executable, *sys.argv])


def missing_windows_build(builds):
    """SKIP, naming the build, when a Windows build the test runs has no driver DLL; else None."""
    for build in builds:
        if not os.path.exists(os.path.join(build, "src", "com", "Qel_weigher.dll")):
            print("SKIP: no Windows build in %s (cmake --preset win32/win64 and build)" % build)
            return SKIP
    return None


def run_in_prefix(prefix, prefix_ready, make_suite, name, pick):
    """The common end of a Wine test script: SKIP without its prefix, a run again under a
    virtual display where there is none, else the picked test of a new suite. Returns the
    exit code."""
    if not prefix_ready:
        print("SKIP: no Wine prefix at %s (its setup test makes it)" % prefix)
        return SKIP
    rerun = rerun_on_virtual_display()
    if rerun is not None:
        return rerun
    suite = make_suite()
    return run_test(suite, name, pick(suite))


def run_test(session, name, test):
    """Runs one test of a suite and ends its scale and Wine session, which belong to this
    test's display, with it. Returns the exit code."""
    try:
        test()
    except Failure as failure:
        print("FAIL:", failure)
        session.failures += 1
    finally:
        session.stop_scale()
        session.stop_wineserver()
    print("%s: %s" % (name, "passed" if session.failures == 0 else
                      "%d failure(s)" % session.failures))
    return 0 if session.failures == 0 else 1
