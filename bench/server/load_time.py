#!/usr/bin/env python3
"""Model load time: from starting dictate-server to its "listening" line (the model loads before it).

usage: PYTHONPATH=tests python3 bench/server/load_time.py [PATH/TO/dictate-server] [RUNS] [SERVER OPTIONS...]
(for instance --profile DIR, to load a learnt language as well). Also prints the memory the loaded server
holds.
"""

import statistics
import sys

from server_process import DEFAULT_BINARY, Server


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_BINARY
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    times = []
    memory = []
    for _ in range(runs):
        with Server(binary, *sys.argv[3:]) as server:
            times.append(server.ready_after)
            memory.append(server.peak_rss_mb())
    print(f"start-up to ready (model load), {runs} runs: median {statistics.median(times):.3f} s, "
          f"min {min(times):.3f} s, max {max(times):.3f} s; peak memory {max(memory):.1f} MB")


if __name__ == "__main__":
    main()
