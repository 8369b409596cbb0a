#!/usr/bin/env python3
"""Word error rate of dictate-server next to the engine's own command-line decoder, on the engine's test
recordings that come with transcripts (librivox/ and cards/ in pocketsphinx-testdata).

Each recording is decoded three ways: by `pocketsphinx_continuous -infile` (its defaults), by the server
given the very same 16 kHz file, and by the server given the file resampled to 48 kHz by sox, which is what
the dictate client sends.

usage: bench/server/wer.py [PATH/TO/dictate-server]
"""

import os
import re
import subprocess
import sys
import tempfile

from server_process import DEFAULT_BINARY, TEST_DATA, Server

SETS = [("librivox", "transcription"), ("cards", "cards.transcription")]


def references():
    """(wav path, reference words) for every recording with a transcript."""
    out = []
    for folder, transcript in SETS:
        with open(os.path.join(TEST_DATA, folder, transcript)) as f:
            for line in f:
                found = re.match(r"\s*(.*?)\s*\((\S+)\)\s*$", line)
                if not found:
                    continue
                words = [w for w in found.group(1).split() if w not in ("<s>", "</s>")]
                out.append((os.path.join(TEST_DATA, folder, found.group(2) + ".wav"), words))
    return out


def edit_distance(ref, hyp):
    row = list(range(len(hyp) + 1))
    for i, r in enumerate(ref, 1):
        previous, row[0] = row[0], i
        for j, h in enumerate(hyp, 1):
            previous, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, previous + (r != h))
    return row[-1]


def cli_words(wav):
    done = subprocess.run(["pocketsphinx_continuous", "-infile", wav, "-logfn", "/dev/null"],
                          capture_output=True, text=True, check=True)
    return done.stdout.split()


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_BINARY
    rows = references()
    errors = {"cli": 0, "server 16k": 0, "server 48k": 0}
    total = 0
    with tempfile.TemporaryDirectory() as folder, Server(binary) as server:
        for wav, ref in rows:
            up = os.path.join(folder, "48k.wav")
            subprocess.run(["sox", wav, "-r", "48000", up], check=True)
            with open(wav, "rb") as f:
                same = f.read()
            with open(up, "rb") as f:
                resampled = f.read()
            hyps = {"cli": cli_words(wav), "server 16k": server.transcribe(same)["text"].split(),
                    "server 48k": server.transcribe(resampled)["text"].split()}
            total += len(ref)
            print(os.path.basename(wav))
            print(f"  {'reference':10s}: {' '.join(ref)}")
            for name, hyp in hyps.items():
                errors[name] += edit_distance(ref, hyp)
                print(f"  {name:10s}: {' '.join(hyp)}")
    print(f"\n{len(rows)} recordings, {total} reference words")
    for name, count in errors.items():
        print(f"WER {name:10s}: {100.0 * count / total:5.1f} % ({count} errors)")


if __name__ == "__main__":
    main()
