#!/usr/bin/env python3
"""Requests per second a polled scale behind protocol=auto sees: an SMA scale on a pty that
answers every "\nW\r" with a weight record, read by `qelscale watch PTY?protocol=auto`."""
import os, pty, select, subprocess, sys, time, tty

cli = sys.argv[1]
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10
master, slave = pty.openpty()
tty.setraw(slave)
name = os.ttyname(slave)
record = b"\n 1G       1.234kg \r"
watch = subprocess.Popen([cli, "watch", name + "?protocol=auto"], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
os.set_blocking(watch.stdout.fileno(), False)
buffer = b""
first_weight = None
requests = 0
start = time.monotonic()
while time.monotonic() - start < seconds + 8:
    ready, _, _ = select.select([master, watch.stdout], [], [], 0.05)
    if watch.stdout in ready:
        out = watch.stdout.read() or b""
        if first_weight is None and b"1.234" in out:
            first_weight = time.monotonic()
    if master in ready:
        data = os.read(master, 4096)
        buffer += data
        while b"\nW\r" in buffer:
            i = buffer.index(b"\nW\r")
            buffer = buffer[i + 3:]
            if first_weight is not None:
                requests += 1
            os.write(master, record)
        buffer = buffer[-8:]
    if first_weight is not None and time.monotonic() - first_weight >= seconds:
        break
watch.terminate()
watch.wait()
if first_weight is None:
    print("no weight read")
    sys.exit(1)
elapsed = time.monotonic() - first_weight
print("%d requests in %.1f s after detection: %.1f per second" % (requests, elapsed,
                                                                    requests / elapsed))
