#!/usr/bin/env python3
"""The server's part of Enter -> text, a take streamed as it is recorded against the same take uploaded
whole once it ends: for a 5 s read sentence and a 60 s take of read speech (48 kHz 16-bit mono).

A streamed take is sent as a chunked body at the pace of speech (0.1 s of audio every 0.1 s) and timed from
its last byte to the reply; a whole take is timed from the start of its upload to the reply, which is what a
client waits once Enter is pressed. With --busy, one other process spins on a core throughout.

usage: PYTHONPATH=tests python3 bench/server/streamed_takes.py [PATH/TO/dictate-server] [TAKES] [--busy]
"""

import glob
import os
import statistics
import subprocess
import sys
import tempfile
import time

from server_process import DEFAULT_BINARY, TEST_DATA, Server
from support import server_process as e2e

SENTENCE = os.path.join(TEST_DATA, "librivox", "sense_and_sensibility_01_austen_64kb-0890.wav")
PIECE = 9600  # 0.1 s of 48 kHz 16-bit mono


def take(folder, name, sources, seconds):
    path = os.path.join(folder, name)
    subprocess.run(["sox", "-D", *sources, "-r", "48000", "-b", "16", "-c", "1", path, "pad", "0", "1",
                    "trim", "0", str(seconds)], check=True)
    with open(path, "rb") as f:
        return f.read()


def main():
    args = [a for a in sys.argv[1:] if a != "--busy"]
    binary = args[0] if args else DEFAULT_BINARY
    takes = int(args[1]) if len(args) > 1 else 5
    busy = subprocess.Popen([sys.executable, "-c", "while True: pass"]) if "--busy" in sys.argv else None
    try:
        with tempfile.TemporaryDirectory() as folder, Server(binary) as server:
            speech = sorted(glob.glob(os.path.join(TEST_DATA, "librivox", "*.wav")))
            for name, wav in (("5 s sentence", take(folder, "5s.wav", [SENTENCE], 5)),
                              ("60 s take", take(folder, "60s.wav", speech * 3, 60))):
                whole, streamed = [], []
                for _ in range(takes):
                    started = time.monotonic()
                    expected = server.transcribe(wav)
                    whole.append(time.monotonic() - started)
                    status, reply, waited = e2e.stream_upload(server, e2e.streamed(wav), PIECE, pace=0.1)
                    if status != 200:
                        raise RuntimeError(f"streamed upload refused: {status} {reply}")
                    streamed.append(waited)
                    same = "same text" if reply["text"] == expected["text"] else "text differs"
                load = ", one busy process" if busy else ""
                print(f"{name}{load}: Enter -> text median {statistics.median(streamed):.3f} s streamed, "
                      f"{statistics.median(whole):.3f} s uploaded whole ({takes} takes each; {same})")
    finally:
        if busy:
            busy.kill()
            busy.wait()


if __name__ == "__main__":
    main()
