#!/usr/bin/env python3
"""virtual_scale.exe, the virtual scale of the Windows packages, under Wine: it holds one end
of a COM port pair (here COM37, a pseudo-terminal whose master this test reads and writes, as
the other end of a null-modem emulator's pair would be), prints the port first, sends a
continuous protocol's frames at once and a new weight after a stdin command, answers a polled
protocol's request, refuses what it cannot do, and ends on "quit".
   virtual_scale_wine_test.py VIRTUAL_SCALE_EXE PREFIX
Skips (exit 77) without Wine or without the Windows build's program."""
import os
import select
import shutil
import subprocess
import sys
import time

SKIP = 77
PORT = "COM37"


def read_until(master, text, seconds=20):
    """What the master reads until `text` shows up or the time is over."""
    data = b""
    end = time.monotonic() + seconds
    while text not in data and time.monotonic() < end:
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            data += os.read(master, 4096)
    return data


class Scale:
    """virtual_scale.exe on COM37, whose other end is the master of a pseudo-terminal."""

    def __init__(self, exe, prefix, *args):
        self.master, self.slave = os.openpty()
        self.link = os.path.join(prefix, "dosdevices", PORT.lower())
        if os.path.lexists(self.link):
            os.unlink(self.link)
        os.symlink(os.ttyname(self.slave), self.link)
        env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
        self.process = subprocess.Popen(["wine", exe, "--port", PORT] + list(args), env=env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True)
        self.first_line = self.process.stdout.readline().strip()

    def command(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        return self.process.stdout.readline().strip()

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=30)
        os.unlink(self.link)
        os.close(self.master)
        os.close(self.slave)


def main():
    exe, prefix = sys.argv[1], sys.argv[2]
    if shutil.which("wine") is None or not os.path.exists(exe):
        print("SKIP: needs wine and %s (the win64 build)" % exe)
        return SKIP
    if not os.path.isdir(os.path.join(prefix, "dosdevices")):
        subprocess.run(["wineboot", "-i"], env=dict(os.environ, WINEPREFIX=prefix,
                                                    WINEDEBUG="-all"),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True,
                       timeout=300)
    failures = []

    def expect(condition, what):
        print(("ok: " if condition else "FAIL: ") + what)
        if not condition:
            failures.append(what)

    scale = Scale(exe, prefix, "--protocol", "cas", "--weight", "2.5")
    try:
        expect(scale.first_line == PORT, "prints its port first: %r" % scale.first_line)
        frames = read_until(scale.master, b"ST,GS,+002.500 kg\r\n")
        expect(b"ST,GS,+002.500 kg\r\n" in frames, "cas frames of 2.5: %r" % frames[-40:])
        expect(scale.command("weight 3.25") == "ok", "stdin: weight 3.25")
        frames = read_until(scale.master, b"ST,GS,+003.250 kg\r\n")
        expect(b"ST,GS,+003.250 kg\r\n" in frames, "then frames of 3.25: %r" % frames[-40:])
        reply = scale.command("vanish")
        expect(reply.startswith("error: "), "a pseudo-terminal command is refused: %r" % reply)
        expect(scale.command("quit") == "ok", "quit")
        expect(scale.process.wait(timeout=30) == 0, "ends with status 0 after quit")
    finally:
        scale.close()

    scale = Scale(exe, prefix, "--protocol", "mt-sics", "--weight", "1.5")
    try:
        time.sleep(0.5)
        quiet = read_until(scale.master, b"S S", seconds=1)
        expect(quiet == b"", "a polled scale sends nothing unasked: %r" % quiet)
        os.write(scale.master, b"SI\r\n")
        answer = read_until(scale.master, b"\r\n")
        expect(answer.startswith(b"S S") and b"1.500 kg" in answer,
               "SI is answered with the weight: %r" % answer)
        scale.command("quit")
    finally:
        scale.close()

    if failures:
        print("virtual_scale.exe: %d failure(s)" % len(failures))
        return 1
    print("virtual_scale.exe: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
