#!/usr/bin/env python3
"""Peak memory growth of the server for large uploads of every shape: 200 MB at 48 kHz 16-bit mono (35
minutes, the format dictate records), 40 MB at 1 kHz 8-bit mono (11 hours), 100 MB at 8 kHz 8-bit stereo
(1.7 hours), and eight 100 MB uploads at 48 kHz 16-bit sent at once. Target: each under 64 MiB.

That audio is silence, which the recogniser gets through quickly, so those figures are about receiving,
keeping, resampling and listening to an upload. The search's own memory comes with speech: real read
speech (the engine's test recordings, pauses and all, over and over), 4 minutes uploaded whole and 2
streamed; speech without a pause (so that every utterance runs to its 30 s cut), 3 minutes whole and 1.5
streamed; and four takes of 1.5 minutes of read speech at once. A streamed take is sent as fast as it can
be and decoded on one decoder, so it is kept shorter: the harness waits 2 minutes for its reply. Each case
runs on a fresh server; growth is its VmHWM after the upload less its VmHWM once the model is loaded.

usage: PYTHONPATH=tests python3 bench/server/large_uploads.py [PATH/TO/dictate-server] [--speech | --silence]
"""

import glob
import os
import subprocess
import sys
import tempfile
import threading
import time

from server_process import DEFAULT_BINARY, TEST_DATA, Server


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


def wav_of(data, rate=48000):
    """A 16-bit mono PCM WAV holding `data`."""
    fmt = (b"fmt " + (16).to_bytes(4, "little") + (1).to_bytes(2, "little") + (1).to_bytes(2, "little")
           + rate.to_bytes(4, "little") + (rate * 2).to_bytes(4, "little") + (2).to_bytes(2, "little")
           + (16).to_bytes(2, "little"))
    data = b"data" + len(data).to_bytes(4, "little") + data
    return b"RIFF" + (4 + len(fmt) + len(data)).to_bytes(4, "little") + b"WAVE" + fmt + data


def speech_wav(minutes, pauses=True):
    """About `minutes` of real speech at 48 kHz 16-bit mono: the engine's read test recordings one after
    another, over and over, or, without pauses, the words of goforward.raw end to end."""
    with tempfile.TemporaryDirectory() as folder:
        once = os.path.join(folder, "once.wav")
        if pauses:
            sources = sorted(glob.glob(os.path.join(TEST_DATA, "librivox", "*.wav")))
            sources += sorted(glob.glob(os.path.join(TEST_DATA, "cards", "*.wav")))
            effects = []
        else:
            sources = ["-t", "raw", "-r", "16000", "-e", "signed", "-b", "16", "-c", "1",
                       os.path.join(TEST_DATA, "goforward.raw")]
            effects = ["trim", "0.6", "1.6"]  # "go forward ten meters" without the quiet around it
        subprocess.run(["sox", "-D", *sources, "-r", "48000", "-b", "16", "-c", "1", once, *effects], check=True)
        with open(once, "rb") as f:
            wav = f.read()
    data = wav[wav.index(b"data") + 8:]
    wanted = int(minutes * 60 * 48000 * 2)
    return wav_of((data * (wanted // len(data) + 1))[:wanted])


def measure(binary, label, wav, copies=1, stream=False):
    with Server(binary) as server:
        before = server.peak_rss_mb()
        failures = []
        replies = []

        def send():
            try:
                replies.append(server.transcribe(wav, stream=stream))
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
        words = len(replies[0]["text"].split())
        print(f"{label}: {copies} x {len(wav) / 1e6:.0f} MB ({minutes:.0f} min of audio, {words} words each) in "
              f"{took:.0f} s: peak memory {before:.0f} -> {after:.0f} MiB, grown by {after - before:.1f} MiB",
              flush=True)


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    binary = args[0] if args else DEFAULT_BINARY
    if "--speech" not in sys.argv:
        measure(binary, "48 kHz 16-bit mono", silent_wav(200, 48000, 16, 1))
        measure(binary, "1 kHz 8-bit mono", silent_wav(40, 1000, 8, 1))
        measure(binary, "8 kHz 8-bit stereo", silent_wav(100, 8000, 8, 2))
        measure(binary, "eight at once, 48 kHz 16-bit mono", silent_wav(100, 48000, 16, 1), copies=8)
    if "--silence" not in sys.argv:
        measure(binary, "read speech, 48 kHz 16-bit mono", speech_wav(4))
        measure(binary, "read speech, streamed", speech_wav(2), stream=True)
        measure(binary, "speech without a pause", speech_wav(3, pauses=False))
        measure(binary, "speech without a pause, streamed", speech_wav(1.5, pauses=False), stream=True)
        measure(binary, "four at once, read speech", speech_wav(1.5), copies=4)


if __name__ == "__main__":
    main()
