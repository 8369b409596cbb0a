#!/usr/bin/env python3
"""Decode real-time factor and peak memory for one 60 s upload of 48 kHz 16-bit mono speech.

The 60 s are read speech from the engine's test recordings, repeated and cut with sox. Decode time is the
server's own figure (resampling + recognition, from its log line); peak RSS is the server's VmHWM after
the upload, so it covers loading the model, receiving, resampling and decoding.

usage: PYTHONPATH=tests python3 bench/server/decode_60s.py [PATH/TO/dictate-server]
"""

import glob
import os
import subprocess
import sys
import tempfile

from server_process import DEFAULT_BINARY, TEST_DATA, Server


def sixty_seconds_of_speech(folder):
    sources = sorted(glob.glob(os.path.join(TEST_DATA, "librivox", "*.wav")))
    path = os.path.join(folder, "speech-60s.wav")
    subprocess.run(["sox", *(sources * 3), "-r", "48000", "-b", "16", "-c", "1", path, "trim", "0", "60"],
                   check=True)
    with open(path, "rb") as f:
        return f.read()


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_BINARY
    with tempfile.TemporaryDirectory() as folder:
        wav = sixty_seconds_of_speech(folder)
    with Server(binary) as server:
        idle_rss = server.peak_rss_mb()
        reply = server.transcribe(wav)
        decode = server.last_decode_seconds()
        peak_rss = server.peak_rss_mb()
    print(f"upload: {len(wav) / 1e6:.2f} MB, {reply['duration']:.2f} s of audio, "
          f"{len(reply['text'].split())} words recognised")
    print(f"decode: {decode:.2f} s, real-time factor {decode / reply['duration']:.3f}")
    print(f"peak RSS: {idle_rss:.1f} MB after loading the model, {peak_rss:.1f} MB after the upload")


if __name__ == "__main__":
    main()
