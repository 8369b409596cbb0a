"""Runs a fault test module in a mount and network namespace of its own when the machine allows it (root
and unshare): the fixed port 4999 then meets nothing else on this machine, and tiny or read-only file
systems can be mounted over a test's folders without anyone else seeing them. Mounts made inside vanish
with the namespace, so nothing is left behind even when a test dies."""

import os
import subprocess

from support.harness import ISOLATED, private_network


def isolate(argv):
    """Call first in `__main__`."""
    private_network(argv, mounts=True)


def can_mount():
    return os.environ.get(ISOLATED) == "1"


NO_MOUNTS = ("needs a private mount namespace (run as root with unshare available) to mount a full or "
             "read-only file system over the take's folder")


def mount_tmpfs(path, size, read_only=False):
    options = f"size={size},mode=0755" + (",ro" if read_only else "")
    subprocess.run(["mount", "-t", "tmpfs", "-o", options, "dictate-faults", path], check=True)


def remount(path, read_only):
    subprocess.run(["mount", "-o", "remount," + ("ro" if read_only else "rw"), path], check=True)


def unmount(path):
    subprocess.run(["umount", "-l", path], check=False, capture_output=True)


def fill(folder, spare):
    """Fills the file system under `folder` until only `spare` bytes are left."""
    filler = os.path.join(folder, ".filler")
    with open(filler, "wb") as f:
        try:
            while True:
                f.write(b"\0" * 65536)
                f.flush()
        except OSError:
            pass
    size = os.path.getsize(filler)
    os.truncate(filler, max(0, size - spare))
