"""Runs a test again in a network namespace of its own, inside a test
environment of its own (scripts/testenv.sh): Wine's sockets are made by its
wineserver, so that must live in the namespace too.

The new environment's prefix starts as a copy of the booted prefix the caller
runs in, which saves booting a second 1.3 GB one: hard links for Wine's own
files, which nothing here changes, and copies of the registry files, which
Wine rewrites in place when they have other links. It is kept in the given
build folder for the next run.
"""
import os
import shutil
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKOUT = os.path.realpath(os.path.join(HERE, "..", ".."))


def network_namespace():
    return str(os.stat("/proc/self/ns/net").st_ino)


def in_private_network():
    """True in a namespace that rerun_in_private_network made."""
    outer = os.environ.get("TVNS_OUTER_NETWORK")
    return outer is not None and outer != network_namespace()


def copy_booted_prefix(prefix):
    booted = os.environ.get("WINEPREFIX")
    if os.path.isdir(prefix) or not booted or not os.path.isfile(os.path.join(booted, "system.reg")):
        return
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    shutil.rmtree(prefix + ".part", ignore_errors=True)
    subprocess.run(["cp", "-al", booted, prefix + ".part"], check=True)
    for name in os.listdir(booted):
        if name.endswith(".reg"):
            os.unlink(os.path.join(prefix + ".part", name))
            shutil.copy2(os.path.join(booted, name), os.path.join(prefix + ".part", name))
    os.rename(prefix + ".part", prefix)


def rerun_in_private_network(build, command):
    """Runs `command` (a list) in a new network and mount namespace with its
    own loopback and /tmp, inside a test environment whose files live in
    `build`. Returns its exit code."""
    copy_booted_prefix(os.path.join(build, "wineprefix"))
    testenv = os.path.join(CHECKOUT, "scripts", "testenv.sh")
    # A /tmp of its own too: its X server would otherwise take the display
    # number of the environment it runs in (the lock files are in /tmp but
    # the abstract sockets are per network) and, when it ends, delete that
    # display's socket and lock, so that later windows of the suite fail.
    # A checkout or build folder under /tmp is mounted back into the new one.
    keep = sorted({path for path in (CHECKOUT, os.path.realpath(build)) if path.startswith("/tmp/")})
    hold = tempfile.mkdtemp(prefix="tvns-tmp-", dir="/var/tmp")
    script = ('mount --rbind /tmp "$TVNS_HOLD" && mount -t tmpfs tmpfs /tmp && '
              'for p in $TVNS_BIND; do mkdir -p "$p" && mount --rbind "$TVNS_HOLD${p#/tmp}" "$p" '
              '|| exit 1; done && ip link set lo up && exec "$@"')
    full = ["unshare", "-n", "-m", "--propagation", "private", "bash", "-c", script, "bash",
            testenv, "--build", build] + command
    environment = dict(os.environ, TVNS_OUTER_NETWORK=network_namespace(), TVNS_HOLD=hold,
                       TVNS_BIND=" ".join(keep))
    try:
        return subprocess.run(full, stdin=subprocess.DEVNULL, env=environment).returncode
    finally:
        os.rmdir(hold)
