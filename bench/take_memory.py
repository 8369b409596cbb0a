"""Resident memory of the built dictate while one take records: read from /proc at 10 s into the take and at
the end of it (10 min unless told otherwise), with the growth between them. The take records from the
virtual microphone into a scratch folder, as a person's would; nothing is uploaded (the take is never
ended by Enter).

    DICTATE_BIN=build-bench/app/dictate PYTHONPATH=tests python3 bench/take_memory.py [SECONDS]
"""

import sys
import time

from support.driver import start_dictate
from support.harness import PROMPT, Scratch, wait_until
from support.virtual_mic import VirtualMic


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS line")


def main():
    length = float(sys.argv[1]) if len(sys.argv) > 1 else 600.0
    scratch = Scratch()
    with VirtualMic() as mic:
        proc = start_dictate(scratch, mic.env)
        try:
            prompt = proc.stdout.read(len(PROMPT))
            if prompt != PROMPT:
                raise RuntimeError(f"dictate printed {prompt!r} instead of its prompt")
            began = time.monotonic()
            figures = []
            for at in (10.0, length):
                time.sleep(max(0.0, began + at - time.monotonic()))
                figures.append((at, resident_kib(proc.pid), scratch.recorded_seconds()))
            if not wait_until(lambda: scratch.recorded_seconds() > 0, timeout=1):
                raise RuntimeError("the take recorded nothing")
        finally:
            proc.kill()
            proc.wait()
            scratch.remove()
    print(f"{'into the take':>14} {'resident memory':>16} {'in the journal':>15}")
    for at, kib, recorded in figures:
        print(f"{at:>12.0f} s {kib / 1024:>13.1f} MiB {recorded:>13.1f} s")
    print(f"growth from 10 s to {length:.0f} s: {(figures[1][1] - figures[0][1]) / 1024:.2f} MiB")


if __name__ == "__main__":
    main()
