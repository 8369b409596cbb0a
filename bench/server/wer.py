#!/usr/bin/env python3
"""Word error rate of dictate-server on real read English with exact transcripts, uploaded as dictate sends
it (48 kHz 16-bit mono, resampled by sox), with the decode real-time factor and the server's peak memory.

Two sets, both from Debian packages:
- testdata: the engine's own test recordings with transcripts (librivox/ and cards/ in
  pocketsphinx-testdata), 10 recordings, 92 words, 16 kHz;
- prompts: studio-read telephone prompts with their published transcripts (asterisk-core-sounds-en-wav and
  asterisk-core-sounds-en), 8 kHz: every fourth, in name order, of the prompts of at least five words
  whose transcript is plain words.
  The engine has never been tuned on them; their band stops at 4 kHz, so they read worse than a microphone.

usage: bench/server/wer.py [PATH/TO/dictate-server] [--quiet] [--set testdata|prompts] [--ceiling PERCENT]
                          [--stream]
Prints one line per recording (reference, then hypothesis where they differ) and a total per set. With
--ceiling it exits with status 1 when a set's word error rate is above PERCENT (the tests' accuracy guard).
The server answers written text; its words are scored without case and punctuation, and every text that
has words must start with a capital (exit status 1 otherwise).
"""

import argparse
import gzip
import os
import re
import subprocess
import sys
import tempfile

from server_process import DEFAULT_BINARY, TEST_DATA, Server

TESTDATA_SETS = [("librivox", "transcription"), ("cards", "cards.transcription")]
PROMPTS = "/usr/share/asterisk/sounds/en_US_f_Allison"
PROMPT_TEXT = "/usr/share/doc/asterisk-core-sounds-en/core-sounds-en.txt.gz"
MIN_PROMPT_WORDS = 5


def testdata():
    """(wav path, reference words) for every engine test recording with a transcript."""
    out = []
    for folder, transcript in TESTDATA_SETS:
        with open(os.path.join(TEST_DATA, folder, transcript)) as f:
            for line in f:
                found = re.match(r"\s*(.*?)\s*\((\S+)\)\s*$", line)
                if not found:
                    continue
                words = [w for w in found.group(1).split() if w not in ("<s>", "</s>")]
                out.append((os.path.join(TEST_DATA, folder, found.group(2) + ".wav"), words))
    return out


def prompts():
    """(wav path, reference words) for every fourth prompt, in name order, whose transcript is plain words."""
    if not os.path.exists(PROMPT_TEXT):
        return []
    out = []
    with gzip.open(PROMPT_TEXT, "rt", encoding="utf-8", errors="replace") as f:
        for line in f:
            found = re.match(r"^([\w-]+):\s+(.*\S)\s*$", line)
            if not found:
                continue
            name, text = found.groups()
            wav = os.path.join(PROMPTS, name + ".wav")
            # Digits, brackets, abbreviations and quotes have no single spoken form.
            if not os.path.exists(wav) or re.search(r"[^A-Za-z' ,.?!;:-]", text) or re.search(r"\.\w", text):
                continue
            words = re.sub(r"[^a-z' ]", " ", text.lower().replace("-", " ")).split()
            if len(words) >= MIN_PROMPT_WORDS:
                out.append((wav, words))
    return sorted(out)[::4]


def edit_distance(ref, hyp):
    row = list(range(len(hyp) + 1))
    for i, r in enumerate(ref, 1):
        previous, row[0] = row[0], i
        for j, h in enumerate(hyp, 1):
            previous, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, previous + (r != h))
    return row[-1]


def words_of(text):
    """The words of a written reply as the references write them: lower case, no punctuation."""
    return re.sub(r"[^a-z0-9' ]", " ", text.lower()).split()


def measure(server, rows, folder, quiet, uncapitalised, stream=False):
    errors = words = 0
    audio = decode = 0.0
    for wav, ref in rows:
        up = os.path.join(folder, "48k.wav")
        # Without dither, as dictate records: the same file then always uploads the same samples.
        subprocess.run(["sox", "-D", wav, "-r", "48000", "-b", "16", "-c", "1", up], check=True)
        with open(up, "rb") as f:
            reply = server.transcribe(f.read(), stream)
        decode += server.last_decode_seconds()
        audio += reply["duration"]
        hyp = words_of(reply["text"])
        if hyp and not re.match(r"[A-Z]", reply["text"]):
            uncapitalised.append(f"{os.path.basename(wav)}: {reply['text']!r}")
        wrong = edit_distance(ref, hyp)
        errors += wrong
        words += len(ref)
        if not quiet:
            print(f"  {os.path.basename(wav):48s} {wrong:2d}/{len(ref):2d}  {' '.join(ref)}")
            if wrong:
                print(f"  {'':48s}        -> {' '.join(hyp)}")
    return errors, words, audio, decode


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary", nargs="?", default=DEFAULT_BINARY)
    parser.add_argument("--quiet", action="store_true")
    parser.add_argument("--set", choices=["testdata", "prompts"])
    parser.add_argument("--ceiling", type=float)
    parser.add_argument("--stream", action="store_true",
                        help="upload each recording as a chunked body, decoded while it arrives")
    options = parser.parse_args()
    quiet, binary = options.quiet, options.binary
    sets = [(name, load()) for name, load in (("testdata", testdata), ("prompts", prompts))
            if options.set in (None, name)]
    totals = []
    worst = 0.0
    uncapitalised = []
    with tempfile.TemporaryDirectory() as folder, Server(binary) as server:
        for name, rows in sets:
            if not rows:
                totals.append(f"WER {name:8s}: set not installed")
                continue
            if not quiet:
                print(f"== {name}")
            errors, words, audio, decode = measure(server, rows, folder, quiet, uncapitalised,
                                                   options.stream)
            worst = max(worst, 100.0 * errors / words)
            totals.append(f"WER {name:8s}: {100.0 * errors / words:5.1f} % "
                          f"({errors} errors in {words} words, "
                          f"{len(rows)} recordings); decode real-time factor {decode / audio:.3f} "
                          f"({decode:.1f} s for {audio:.1f} s)")
        peak = server.peak_rss_mb()
    print("\n".join(totals))
    print(f"server peak RSS: {peak:.1f} MB")
    for text in uncapitalised:
        print(f"text not starting with a capital: {text}")
    print(f"texts with words not starting with a capital: {len(uncapitalised)}")
    if options.ceiling is not None and worst > options.ceiling:
        print(f"word error {worst:.1f} % is above the ceiling of {options.ceiling:.1f} %")
        sys.exit(1)
    if uncapitalised:
        sys.exit(1)


if __name__ == "__main__":
    main()
