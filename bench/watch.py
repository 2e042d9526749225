"""Watching the programs the benchmark runs: the CPU seconds and wake-ups of
the Linux processes Wine runs them in (found by their temporary folder in
/proc/*/cmdline), the wineserver's share, and their output, read to the end
or stamped line by line as it arrives."""
import os
import subprocess
import threading
import time

from suite import pids_running

CLK_TCK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """utime+stime of a Linux process, or None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLK_TCK
    except (OSError, IndexError):
        return None


def cpu_spent(pid, before):
    """utime+stime of a Linux process since `before`, or None when either
    reading is missing (the process was not found, or has ended since)."""
    after = cpu_seconds(pid) if pid and before is not None else None
    return None if after is None else after - before


class ThreadSwitches:
    """Voluntary context switches of every thread of one Linux process over a
    span, from /proc/PID/task/*/status: a wake-up each. Each thread counts
    from its reading at start() (from 0 when it was born later) to its last
    reading, so a thread that ends keeps what it had when last read."""

    def __init__(self):
        self.pid = None
        self.base = None
        self.last = {}

    def start(self, pid):
        self.pid = pid
        self.last = {}
        self.read()
        self.base = dict(self.last)

    def read(self):
        if self.pid is None:
            return
        try:
            tids = os.listdir("/proc/%d/task" % self.pid)
        except OSError:
            return
        for tid in tids:
            try:
                with open("/proc/%d/task/%s/status" % (self.pid, tid)) as f:
                    for line in f:
                        if line.startswith("voluntary_ctxt_switches:"):
                            self.last[tid] = int(line.split()[1])
                            break
            except (OSError, ValueError):
                pass

    def total(self):
        if self.base is None:
            return None
        return sum(count - self.base.get(tid, 0) for tid, count in self.last.items())


def wait_for_pid(folder, exe_name, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        found = pids_running(folder, exe_name)
        if found:
            return found[0]
        time.sleep(0.02)
    return None


def wineserver_pid():
    """The wineserver of this environment's prefix (other prefixes have their own)."""
    prefix = ("WINEPREFIX=%s" % os.environ.get("WINEPREFIX", "")).encode()
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/comm" % entry) as f:
                    if not f.read().startswith("wineserver"):
                        continue
                with open("/proc/%s/environ" % entry, "rb") as f:
                    if prefix in f.read().split(b"\0"):
                        return int(entry)
            except OSError:
                pass
    return None


def run_watched(command, folder, exe_name, timeout, watch=None):
    """Runs a Windows program from `folder` under Wine to its end; returns its
    output lines, its own CPU seconds (the last reading before it ended) and
    the wineserver's CPU seconds over the run. `watch(pid, out_path)`, if
    given, is called at every reading while the program runs."""
    ws = wineserver_pid()
    ws_before = cpu_seconds(ws) if ws else None
    out_path = os.path.join(folder, exe_name + ".txt")
    with open(out_path, "w") as out:
        child = subprocess.Popen(["wine"] + command, cwd=folder, stdin=subprocess.DEVNULL,
                                 stdout=out, stderr=subprocess.STDOUT)
        pid = wait_for_pid(folder, exe_name, 30)
        cpu = 0.0
        deadline = time.time() + timeout
        while child.poll() is None:
            reading = cpu_seconds(pid) if pid else None
            if reading is not None:
                cpu = reading
            if watch and pid:
                watch(pid, out_path)
            if time.time() > deadline:
                child.kill()
                break
            time.sleep(0.05)
        child.wait()
    wineserver = cpu_spent(ws, ws_before)
    with open(out_path) as f:
        lines = [line.strip() for line in f]
    return lines, cpu, wineserver


def run_stamped(command, folder, timeout):
    """Runs a Windows program under Wine to its end with its standard output
    read as it comes: [(time.monotonic() at the line's arrival, line)]."""
    with open(os.path.join(folder, "stderr.txt"), "wb") as errors:
        child = subprocess.Popen(["wine"] + command, cwd=folder, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=errors)
        stamped = []

        def read():
            for raw in iter(child.stdout.readline, b""):
                stamped.append((time.monotonic(), raw.decode("utf-8", "replace").strip()))

        reader = threading.Thread(target=read)
        reader.start()
        try:
            child.wait(timeout)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
        reader.join(10)
    for _, line in stamped:
        if line.startswith("error"):
            print("bench: %s: %s" % (os.path.basename(command[0]), line), flush=True)
    return stamped
