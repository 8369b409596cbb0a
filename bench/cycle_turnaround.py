"""Cycle turnaround of the built dictate: the time from the transcribed text appearing on standard output to
the next prompt, i.e. what the person waits before speaking again. Runs the program as a person would,
recording from the virtual microphone and uploading to a stand-in server on port 4999, in a private network
namespace when run as root (the port is fixed).

    DICTATE_BIN=build-bench/app/dictate PYTHONPATH=tests python3 bench/cycle_turnaround.py [CYCLES]
"""

import os
import statistics
import sys
import threading
import time

from support.scripted_server import ScriptedServer, text_reply
from support.driver import finish, press, start_dictate
from support.harness import PROMPT, Scratch, private_network
from support.virtual_mic import VirtualMic

TEXT = b"turnaround check"


class StdoutClock:
    """Reads the program's standard output as it comes and notes when each marker first appears."""

    def __init__(self, stream):
        self.fd = stream.fileno()
        self.data = b""
        self.cond = threading.Condition()
        self.seen = []  # (arrival time, total bytes read so far)
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while True:
            chunk = os.read(self.fd, 65536)
            now = time.monotonic()
            with self.cond:
                if not chunk:
                    self.seen.append((now, None))
                    self.cond.notify_all()
                    return
                self.data += chunk
                self.seen.append((now, len(self.data)))
                self.cond.notify_all()

    def wait_for(self, marker, start, timeout=30.0):
        """Time at which `marker` had fully arrived at or after byte offset `start`, and the offset past it."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                at = self.data.find(marker, start)
                if at >= 0:
                    end = at + len(marker)
                    arrival = next(t for t, size in self.seen if size is not None and size >= end)
                    return arrival, end
                if self.seen and self.seen[-1][1] is None:
                    raise RuntimeError("dictate closed its output; it printed:\n" + self.data.decode(errors="replace"))
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"no {marker!r} within {timeout} s; output so far:\n"
                                       + self.data.decode(errors="replace")[-2000:])
                self.cond.wait(left)


def main():
    cycles = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    private_network(sys.argv)
    turnarounds = []
    with ScriptedServer([], default=text_reply(TEXT.decode())), VirtualMic() as mic:
        scratch = Scratch()
        proc = start_dictate(scratch, mic.env)
        try:
            clock = StdoutClock(proc.stdout)
            _, offset = clock.wait_for(PROMPT, 0)
            for _ in range(cycles):
                time.sleep(0.2)  # a short take, so that every cycle has audio to write and upload
                press(proc)
                text_at, offset = clock.wait_for(TEXT + b"\n", offset)
                prompt_at, offset = clock.wait_for(PROMPT, offset)
                turnarounds.append(prompt_at - text_at)
            status, _, err = finish(proc)
            if status != 0:
                print(f"cycle_turnaround: dictate exited with {status}: {err.decode(errors='replace')[-2000:]}",
                      file=sys.stderr)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            scratch.remove()
    ms = sorted(t * 1000 for t in turnarounds)
    print(f"Cycle turnaround (text line on stdout -> next prompt), {len(ms)} cycles: "
          f"median {statistics.median(ms):.1f} ms, worst {ms[-1]:.1f} ms, best {ms[0]:.1f} ms "
          f"(target <= 50 ms: {'met' if ms[-1] <= 50 else 'NOT met'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
