"""What every Wine test shares: the loaders, how this machine runs 32-bit code, and the
prefixes, each made once per build directory.

A 64-bit Windows program always runs natively, through the 64-bit loader. A 32-bit one runs
where the kernel runs i386 programs itself, or under qemu's user-mode emulation registered
by scripts/setup (see scripts/i386-support); where neither can be had, the 32-bit tests say
so in one loud line and count as skipped, never as passed.
"""

import os
import shutil
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
SKIP = 77

# The loaders themselves, never the `wine` wrapper script: that one always tries the 32-bit
# loader first, which a kernel without i386 support refuses.
WINE64 = shutil.which("wine64") or "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"


def loader(bits):
    return WINE32 if bits == 32 else WINE64


def i386_support():
    """("native" | "emulated" | "skip", reason), as scripts/i386-support reports it."""
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
