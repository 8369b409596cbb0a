#!/usr/bin/env python3
"""Peak memory of the server for large uploads: one 200 MB upload (35 minutes of 48 kHz 16-bit mono, the
format dictate records), then eight 100 MB uploads sent at once.

The audio is silence, which the recogniser gets through quickly, so the figures are about receiving,
keeping and resampling an upload rather than about recognition. Peak memory is the server's VmHWM.

usage: PYTHONPATH=tests python3 bench/server/large_uploads.py [PATH/TO/dictate-server]
"""

import sys
import threading

from server_process import DEFAULT_BINARY, Server, e2e


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_BINARY
    one = e2e.silent_wav(35 * 60, 48000)
    with Server(binary) as server:
        before = server.peak_rss_mb()
        reply = server.transcribe(one)
        after = server.peak_rss_mb()
        print(f"one upload of {len(one) / 1e6:.0f} MB ({reply['duration'] / 60:.0f} min): peak memory "
              f"{before:.0f} -> {after:.0f} MiB, grown by {after - before:.0f} MiB "
              f"({(after - before) * 2**20 / len(one):.2f} of the upload's size)")
    del one

    eighth = e2e.silent_wav(17.5 * 60, 48000)
    with Server(binary) as server:
        before = server.peak_rss_mb()
        failures = []

        def send():
            try:
                server.transcribe(eighth)
            except Exception as failure:  # reported below, not raised on a thread
                failures.append(repr(failure))

        threads = [threading.Thread(target=send) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        after = server.peak_rss_mb()
        if failures:
            raise RuntimeError("; ".join(failures))
        print(f"eight uploads of {len(eighth) / 1e6:.0f} MB at once ({8 * len(eighth) / 1e6:.0f} MB in all): "
              f"peak memory {before:.0f} -> {after:.0f} MiB, grown by {after - before:.0f} MiB")


if __name__ == "__main__":
    main()
