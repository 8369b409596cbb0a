#!/usr/bin/env python3
"""Peak memory growth of the server for large uploads of every shape: 200 MB at 48 kHz 16-bit mono (35
minutes, the format dictate records), 40 MB at 1 kHz 8-bit mono (11 hours), 100 MB at 8 kHz 8-bit stereo
(1.7 hours), and eight 100 MB uploads at 48 kHz 16-bit sent at once. Target: each under 64 MiB.

The audio is silence, which the recogniser gets through quickly, so the figures are about receiving,
keeping, resampling and listening to an upload rather than about recognition. Each case runs on a fresh
server; growth is its VmHWM after the upload less its VmHWM once the model is loaded.

usage: PYTHONPATH=tests python3 bench/server/large_uploads.py [PATH/TO/dictate-server]
"""

import sys
import threading
import time

from server_process import DEFAULT_BINARY, Server


def silent_wav(megabytes, rate, bits, channels):
    """A PCM WAV of silence with a data chunk of about `megabytes` MB."""
    block = channels * bits // 8
    frames = int(megabytes * 1e6) // block
    silence = b"\x80" if bits == 8 else b"\0" * (bits // 8)
    fmt = (b"fmt " + (16).to_bytes(4, "little") + (1).to_bytes(2, "little") + channels.to_bytes(2, "little")
           + rate.to_bytes(4, "little") + (rate * block).to_bytes(4, "little") + block.to_bytes(2, "little")
           + bits.to_bytes(2, "little"))
    data = b"data" + (frames * block).to_bytes(4, "little") + silence * (frames * channels)
    return b"RIFF" + (4 + len(fmt) + len(data)).to_bytes(4, "little") + b"WAVE" + fmt + data


def measure(binary, label, wav, copies=1):
    with Server(binary) as server:
        before = server.peak_rss_mb()
        failures = []
        replies = []

        def send():
            try:
                replies.append(server.transcribe(wav))
            except Exception as failure:  # reported below, not raised on a thread
                failures.append(repr(failure))

        began = time.monotonic()
        threads = [threading.Thread(target=send) for _ in range(copies)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        took = time.monotonic() - began
        after = server.peak_rss_mb()
        if failures:
            raise RuntimeError("; ".join(failures))
        minutes = replies[0]["duration"] / 60
        print(f"{label}: {copies} x {len(wav) / 1e6:.0f} MB ({minutes:.0f} min of audio each) in {took:.0f} s: "
              f"peak memory {before:.0f} -> {after:.0f} MiB, grown by {after - before:.1f} MiB", flush=True)


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_BINARY
    measure(binary, "48 kHz 16-bit mono", silent_wav(200, 48000, 16, 1))
    measure(binary, "1 kHz 8-bit mono", silent_wav(40, 1000, 8, 1))
    measure(binary, "8 kHz 8-bit stereo", silent_wav(100, 8000, 8, 2))
    measure(binary, "eight at once, 48 kHz 16-bit mono", silent_wav(100, 48000, 16, 1), copies=8)


if __name__ == "__main__":
    main()
