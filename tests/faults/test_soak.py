"""A long run of the built dictate: many short cycles against a loopback server, through the virtual
microphone. Whatever a cycle takes from the system (memory, descriptors: the audio stack is started and
shut down, a connection opened and closed, two files written each time) it must give back, or a day of
dictation would end in a program that can no longer open its files or has eaten the machine."""

import os
import subprocess
import sys
import time
import unittest

from support.driver import wait_for_sound
from support.fault_case import FaultCase
from support.isolation import isolate

from support.scripted_server import ScriptedServer, text_reply

# Under a sanitizer, freed memory is held back on purpose to catch late use, so the resident size grows
# by design: there only descriptors are checked, over fewer cycles, for the sanitizer's own checks are
# what that run is for.
SANITIZED = os.environ.get("DICTATE_SANITIZED") == "1"
CYCLES = int(os.environ.get("DICTATE_SOAK_CYCLES", "100" if SANITIZED else "300"))
SETTLED = 50  # cycles after which caches, pools and the allocator have reached their working size
RSS_GROWTH_LIMIT_KB = 2048
# Long enough that every take captures sound (and so takes its buffer's memory), short enough for CI.
TAKE_SECONDS = 0.05


def resident_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError(f"no VmRSS for process {pid}")


def quiet_descriptors(pid):
    """The process's open descriptors at a moment when none of them belongs to an HTTP request under way,
    or None when one does: a TCP connection, or a pair of local sockets connected to each other (the HTTP
    library's wake-up and resolver pairs, which live as long as a request's handle). Such sockets come and
    go with every take's question to the server, which may be under way at any point of a cycle; the
    audio stack's own socket leads out of the process and stays."""
    sockets = {}
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except FileNotFoundError:
            return None  # closed while being read: not a quiet moment
        if target.startswith("socket:["):
            sockets[int(fd)] = int(target[len("socket:["):-1])
        else:
            sockets.setdefault(int(fd), None)
    mine = {inode for inode in sockets.values() if inode is not None}
    tcp = set()
    for table in ("tcp", "tcp6"):
        with open(f"/proc/{pid}/net/{table}") as f:
            next(f)
            tcp.update(int(row.split()[9]) for row in f)
    peers = {}
    listing = subprocess.run(["ss", "-xn"], capture_output=True, text=True, check=True).stdout
    for row in listing.splitlines()[1:]:
        fields = row.split()
        if len(fields) >= 8 and fields[5].isdigit() and fields[7].isdigit():
            peers[int(fields[5])] = int(fields[7])
    for inode in mine:
        # A socket of the snapshot that neither table lists has closed since: the snapshot was not quiet.
        if inode in tcp or inode not in peers or peers[inode] in mine:
            return None
    return sorted(sockets)


def open_descriptors(pid, timeout=10.0):
    """The open descriptors at the next quiet moment; after `timeout` without one (a socket of a request
    left open for good), whatever is open then, for the comparison to show."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if (quiet := quiet_descriptors(pid)) is not None:
            return quiet
        time.sleep(0.01)
    return sorted(int(fd) for fd in os.listdir(f"/proc/{pid}/fd"))


class Soak(FaultCase):
    def test_many_cycles_leave_memory_and_descriptors_flat(self):
        self.assertGreater(CYCLES, SETTLED)
        started = time.monotonic()
        with ScriptedServer([], default=text_reply("soak")) as server:
            session = self.start()
            figures = {}
            for n in range(1, CYCLES + 1):
                time.sleep(TAKE_SECONDS)
                wait_for_sound(self.scratch, session.proc)  # an Enter before any sound would be ignored
                session.type(b"\n")
                # Each reading is taken at the same point of a cycle: the next take has just started
                # recording, after the previous one was written, sent and saved; and at a moment when no
                # request is under way (the new take's question to the server may be).
                session.wait_for(lambda: session.prompts() == n + 1 and session.out().count(b"soak\n") == n,
                                 what=f"cycle {n}")
                if n in (SETTLED, CYCLES):
                    figures[n] = (resident_kb(session.pid), open_descriptors(session.pid))
                    # The takes are short but real: sound was captured and written.
                    self.assertGreater(os.path.getsize(self.wav_path(session.paths()[-1])), 44 + 2 * 480)
            status = session.finish()
            requests = server.count()
        elapsed = time.monotonic() - started

        (rss_settled, fds_settled), (rss_end, fds_end) = figures[SETTLED], figures[CYCLES]
        print(f"\nsoak: {CYCLES} cycles in {elapsed:.1f} s; VmRSS {rss_settled} kB at cycle {SETTLED}, "
              f"{rss_end} kB at cycle {CYCLES}; {len(fds_end)} open descriptors", file=sys.stderr)
        self.assertEqual(status, 0, session.err()[-3000:])
        self.assertEqual(requests, CYCLES + 1)
        self.assertEqual(session.messages(), [])
        self.assertEqual(fds_end, fds_settled, "descriptors were left open")
        if not SANITIZED:
            self.assertLess(rss_end - rss_settled, RSS_GROWTH_LIMIT_KB,
                            f"resident memory grew from {rss_settled} kB to {rss_end} kB")


if __name__ == "__main__":
    isolate(sys.argv)
    unittest.main()
