"""Runs a command in a session of its own and makes sure nothing it started outlives it."""
import os
import signal
import subprocess
import tempfile
import time


def run_alone(command, timeout, **kwargs):
    """Runs `command` as a session leader; returns (exit status, output, leftovers): the
    processes of its group still alive once it ended, which are then killed. The status is
    None when it ran past `timeout` seconds (its group is killed then)."""
    timed_out = False
    # Output to a file, not a pipe: a process left behind would hold a pipe open.
    with tempfile.TemporaryFile() as log:
        process = subprocess.Popen(command, start_new_session=True, stdin=subprocess.DEVNULL,
                                   stdout=log, stderr=subprocess.STDOUT, **kwargs)
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            timed_out = True
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
        log.seek(0)
        output = log.read().decode(errors="replace")
    leftovers = group_members(process.pid)
    deadline = time.monotonic() + 5
    while leftovers and time.monotonic() < deadline:  # a process may still be on its way out
        time.sleep(0.1)
        leftovers = group_members(process.pid)
    if leftovers:
        os.killpg(process.pid, signal.SIGKILL)
    return None if timed_out else process.returncode, output, leftovers


def group_members(group):
    """The live (not zombie) processes of process group `group`, as "PID command" texts."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            with open("/proc/%s/cmdline" % entry, "rb") as cmdline:
                name = cmdline.read().replace(b"\0", b" ").decode(errors="replace").strip()
        except OSError:
            continue
        if int(fields[2]) == group and fields[0] != "Z":
            members.append("%s %s" % (entry, name))
    return members
