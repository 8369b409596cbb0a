"""Runs a fault test module in a mount and network namespace of its own when the machine allows it (root
and unshare): the fixed port 4999 then meets nothing else on this machine, and tiny or read-only file
systems can be mounted over a test's folders without anyone else seeing them. Mounts made inside vanish
with the namespace, so nothing is left behind even when a test dies."""

import os
import shutil
import subprocess
import sys

_FLAG = "DICTATE_FAULTS_ISOLATED"


def isolate(argv):
    """Call first in `__main__`. Returns normally, either inside the namespaces or, where they cannot be
    had, in the machine's own (tests that need them then skip)."""
    if os.environ.get(_FLAG) == "1":
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        return
    if os.geteuid() == 0 and shutil.which("unshare") and shutil.which("ip"):
        probe = subprocess.run(["unshare", "--mount", "--net", "true"], capture_output=True)
        if probe.returncode == 0:
            env = dict(os.environ, **{_FLAG: "1"})
            sys.stdout.flush()
            os.execvpe("unshare", ["unshare", "--mount", "--propagation", "private", "--net", "--",
                                   sys.executable, "-W", "ignore", *argv], env)


def can_mount():
    return os.environ.get(_FLAG) == "1"


NO_MOUNTS = ("needs a private mount namespace (run as root with unshare available) to mount a full or "
             "read-only file system over the take's folder")


def mount_tmpfs(path, size, read_only=False):
    options = f"size={size},mode=0755" + (",ro" if read_only else "")
    subprocess.run(["mount", "-t", "tmpfs", "-o", options, "dictate-faults", path], check=True)


def remount(path, read_only):
    subprocess.run(["mount", "-o", "remount," + ("ro" if read_only else "rw"), path], check=True)


def unmount(path):
    subprocess.run(["umount", "-l", path], check=False, capture_output=True)
