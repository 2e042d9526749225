#!/usr/bin/env python3
"""Discovery on a network of its own, with Avahi as the independent peer: two
network namespaces joined by a veth pair, the service machine (this test's
own test environment, with Wine) at 10.77.0.1 and a desktop running
avahi-daemon at 10.77.0.2.

    discovery_test.py --daemon TONVALED.EXE --plugin-tests PLUGIN_TESTS.EXE
                      --fuzzer TVMDNSFUZZ.EXE --out FOLDER

Checks that avahi-browse sees an installed and started service with its port
and TXT record; that a second service with the same name gets another one;
that hostile packets leave the responder answering; that the plug-in's
dialog lists a service published with avahi-publish (and the two services),
with a screenshot in FOLDER; and that the entry goes away after /stop.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "host"))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from e2e_test import DaemonCopy, check, failures, run_program, wait_for_port, write_ini  # noqa: E402
from private_network import in_private_network, rerun_in_private_network  # noqa: E402

SERVICE_IP, DESKTOP_IP = "10.77.0.1", "10.77.0.2"
NAME = "Tonvale test"
PUBLISHED = ("Kitchen speakers", 4700)
AVAHI_CONF = """[server]
host-name=tvdesk
use-ipv4=yes
use-ipv6=no
allow-interfaces=tvd
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
"""


class Desktop:
    """A namespace with its own /run, joined to ours by a veth pair, running
    dbus-daemon (for Avahi's client tools) and avahi-daemon."""

    def __init__(self, folder):
        self.folder = folder
        self.processes = []
        self.holder = self.start(["unshare", "-n", "-m", "--propagation", "private",
                                  "sleep", "infinity"], enter=False)
        mine = os.stat("/proc/self/ns/net").st_ino
        while os.stat("/proc/%d/ns/net" % self.holder.pid).st_ino == mine:
            time.sleep(0.01)
        pid = str(self.holder.pid)
        ip = lambda *a: subprocess.run(["ip"] + list(a), check=True)  # noqa: E731
        ip("link", "add", "tvs", "type", "veth", "peer", "name", "tvd", "netns", pid)
        ip("addr", "add", SERVICE_IP + "/24", "dev", "tvs")
        ip("link", "set", "tvs", "up")
        ip("route", "add", "default", "dev", "tvs")
        self.run("sh", "-c", "ip link set lo up && ip link set tvd up && "
                 "ip addr add %s/24 dev tvd && ip route add default dev tvd && "
                 "mount -t tmpfs tmpfs /run && mkdir -p /run/dbus" % DESKTOP_IP)
        conf = os.path.join(folder, "avahi-daemon.conf")
        with open(conf, "w") as f:
            f.write(AVAHI_CONF)
        self.start(["dbus-daemon", "--system", "--nofork", "--nopidfile"])
        root = "/proc/%s/root" % pid
        self.wait(lambda: os.path.exists(root + "/run/dbus/system_bus_socket"), 5)
        self.start(["avahi-daemon", "-f", conf, "--no-rlimits"])
        self.wait(lambda: self.run("avahi-browse", "-pt", "_tonvale._tcp", check=False)
                  .returncode == 0, 10)

    def enter(self):
        return ["nsenter", "-t", str(self.holder.pid), "-n", "-m"]

    def start(self, command, enter=True):
        log = open(os.path.join(self.folder, os.path.basename(command[0]) + ".log"), "a")
        process = subprocess.Popen((self.enter() if enter else []) + command,
                                   stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        log.close()
        self.processes.append(process)
        return process

    def run(self, *command, check=True):
        return subprocess.run(self.enter() + list(command), stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, check=check, timeout=30)

    @staticmethod
    def wait(condition, seconds):
        deadline = time.time() + seconds
        while not condition():
            if time.time() > deadline:
                raise SystemExit("the desktop namespace did not come up")
            time.sleep(0.05)

    def browse(self):
        return self.run("avahi-browse", "-rpt", "_tonvale._tcp").stdout

    def close(self):
        for process in reversed(self.processes):
            process.terminate()
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def unescape(text):
    return re.sub(r"\\(\d{3})", lambda m: chr(int(m.group(1))), text)


def resolved(output):
    """The resolved entries of avahi-browse -p output, by instance name:
    (host, address, port, TXT strings)."""
    found = {}
    for line in output.splitlines():
        fields = line.split(";")
        if fields[0] == "=" and len(fields) >= 10 and fields[2] == "IPv4":
            txt = sorted(re.findall(r'"([^"]*)"', fields[9]))
            found[unescape(fields[3])] = (fields[6], fields[7], int(fields[8]), txt)
    return found


def browse_until(desktop, condition, seconds):
    deadline = time.time() + seconds
    while True:
        output = desktop.browse()
        if condition(resolved(output)) or time.time() > deadline:
            return output
        time.sleep(0.2)


def service_command(exe, word):
    code, out, err = run_program(["wine", exe, word], os.path.dirname(exe), 60)
    return out.decode("utf-8", "replace") + err.decode("utf-8", "replace")


def check_entry(found, name, port):
    entry = found.get(name)
    if not check(entry is not None, "avahi-browse resolves %r" % name):
        return
    host, address, seen_port, txt = entry
    check(address == SERVICE_IP, "%r is at %s (%s)" % (name, SERVICE_IP, address))
    check(seen_port == port, "%r has port %d (%d)" % (name, port, seen_port))
    check(txt == ["protovers=1", "txtvers=1"], "%r has the TXT strings (%s)" % (name, txt))
    check(host.endswith(".local") and host != "tvdesk.local", "%r is on its own host (%s)"
          % (name, host))


def check_dialog(plugin_tests, shot):
    """The plug-in's dialog lists the published service and both of ours, and
    choosing the published one fills its address and port."""
    listed = [PUBLISHED + (DESKTOP_IP,), (NAME, 4601, SERVICE_IP), (NAME + " (2)", 4602, SERVICE_IP)]
    os.environ["TONVALE_EXPECT_FOUND"] = ";".join("%s|%s|%d" % (name, address, port)
                                                  for name, port, address in listed)
    os.environ["TONVALE_CHOOSE_FOUND"] = PUBLISHED[0]
    os.environ["TONVALE_FOUND_SHOT"] = shot
    code, output, errors = run_program(["wine", plugin_tests, "--gtest_filter=DiscoveryDialog.*"],
                                       os.path.dirname(plugin_tests), 60)
    text = (output + errors).decode("utf-8", "replace")
    check(code == 0 and "[  PASSED  ] 1 test" in text, "the dialog lists and fills" +
          ("" if code == 0 else " (exit code %d):\n%s" % (code, text)))
    print("screenshot of the dialog: " + shot, flush=True)


def main():
    parser = argparse.ArgumentParser()
    for option in ("--daemon", "--plugin-tests", "--fuzzer", "--out"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    # The programs run in folders of their own, so relative paths would miss.
    for name in ("daemon", "plugin_tests", "fuzzer"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    out = os.path.abspath(args.out)
    if not in_private_network():
        os.makedirs(out, exist_ok=True)
        return rerun_in_private_network(os.path.join(out, "env"),
                                        [sys.executable, os.path.abspath(__file__)] + sys.argv[1:])
    work = os.path.join(out, "work")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    desktop = Desktop(work)
    desktop.start(["avahi-publish", "-s", PUBLISHED[0], "_tonvale._tcp", str(PUBLISHED[1]),
                   "txtvers=1", "protovers=1"])
    second = None
    installed = os.path.join(work, "a", "Tonvaled.exe")
    try:
        os.makedirs(os.path.dirname(installed))
        shutil.copy(args.daemon, installed)
        write_ini(os.path.join(work, "a", "Tonvaled.ini"),
                  ["listernPort=4601", "AnnounceName=" + NAME])
        service_command(installed, "/remove")
        check("Service installed." in service_command(installed, "/install"), "installed")
        check("Succses start." in service_command(installed, "/start"), "started")
        check(wait_for_port(4601, 10), "the service listens")
        output = browse_until(desktop, lambda found: NAME in found, 10)
        check_entry(resolved(output), NAME, 4601)

        second = DaemonCopy(args.daemon, os.path.join(work, "b"), 4602,
                            settings=["AnnounceName=" + NAME])
        renamed = NAME + " (2)"
        output = browse_until(desktop, lambda found: renamed in found, 10)
        print("avahi-browse -rpt _tonvale._tcp, two services:\n" + output, flush=True)
        with open(os.path.join(out, "avahi-browse.txt"), "w") as f:
            f.write(output)
        found = resolved(output)
        check_entry(found, NAME, 4601)
        check_entry(found, renamed, 4602)
        check('"%s" is taken on the network; announcing "%s"' % (NAME, renamed)
              in second.console(), "the second service logs its new name")

        check_dialog(args.plugin_tests, os.path.join(out, "discovery_dialog.png"))

        stopped = service_command(installed, "/stop")
        check("Succses stop." in stopped, "stopped")
        output = browse_until(desktop, lambda found: NAME not in found, 5)
        print("avahi-browse -rpt _tonvale._tcp, after /stop:\n" + output, flush=True)
        found = resolved(output)
        check(NAME not in found, "the stopped service's entry is gone")
        check(renamed in found, "the running service's entry stays")

        code, fuzzed, _ = run_program(["wine", args.fuzzer, "--link", SERVICE_IP, "--port", "4602",
                                       "--seed", "1", "--packets", "4000"],
                                      os.path.dirname(args.fuzzer), 60)
        print(fuzzed.decode("utf-8", "replace"), flush=True)
        check(code == 0, "the responder outlives hostile packets and answers within its cap")
        check(second.process.poll() is None, "the fuzzed service still runs")
    finally:
        if second:
            second.close()
        service_command(installed, "/remove")
        desktop.close()
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
