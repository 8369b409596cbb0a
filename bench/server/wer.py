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

- adaptation: the same speaker's prompts in G.722 (asterisk-core-sounds-en-g722, 16 kHz): every fourth
  prompt of at least five words is the test set, all the others (about 11 minutes) are adapted on with
  --adapt; the test set is then measured without and with the profile.
Prompts listed in ../shared/asr/reserved-prompts.txt (or $DICTATE_RESERVED_PROMPTS) are never used.

usage: PYTHONPATH=tests python3 bench/server/wer.py [PATH/TO/dictate-server] [--quiet] [--set testdata|prompts|adaptation]
                           [--ceiling PERCENT] [--voice PROFILE_DIR] [--words FILE] [--stream]
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
import time

from server_process import DEFAULT_BINARY, TEST_DATA, Server
from support.harness import word_errors

TESTDATA_SETS = [("librivox", "transcription"), ("cards", "cards.transcription")]
PROMPTS = "/usr/share/asterisk/sounds/en_US_f_Allison"
PROMPT_TEXT = "/usr/share/doc/asterisk-core-sounds-en/core-sounds-en.txt.gz"
# The same speaker's prompts in G.722 (asterisk-core-sounds-en-g722): 16 kHz, the band the model knows.
WIDEBAND_PROMPTS = PROMPTS
# Prompts kept for an independent check, outside the repository.
RESERVED = os.environ.get("DICTATE_RESERVED_PROMPTS", os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared", "asr", "reserved-prompts.txt"))
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


def plain_prompts():
    """(id, reference words) of every prompt whose transcript is plain words, the reserved ones left out.
    Digits, brackets, abbreviations and quotes have no single spoken form."""
    if not os.path.exists(PROMPT_TEXT):
        return
    reserved = reserved_prompts()
    with gzip.open(PROMPT_TEXT, "rt", encoding="utf-8", errors="replace") as f:
        for line in f:
            found = re.match(r"^([\w/-]+):\s+(.*\S)\s*$", line)
            if not found:
                continue
            name, text = found.groups()
            if name.replace("/", "_") in reserved:
                continue
            if re.search(r"[^A-Za-z' ,.?!;:-]", text) or re.search(r"\.\w", text):
                continue
            words = re.sub(r"[^a-z' ]", " ", text.lower().replace("-", " ")).split()
            if words:
                yield name, words


def prompts():
    """(wav path, reference words) for every fourth prompt of the top folder, in name order, of at least
    MIN_PROMPT_WORDS words."""
    out = [(os.path.join(PROMPTS, name + ".wav"), words) for name, words in plain_prompts()
           if "/" not in name and len(words) >= MIN_PROMPT_WORDS]
    return sorted(row for row in out if os.path.exists(row[0]))[::4]


def reserved_prompts():
    """Ids kept for an independent check: never adapted on, tuned on or evaluated with."""
    if not os.path.exists(RESERVED):
        sys.exit(f"{RESERVED} is missing: cannot tell which prompts to leave alone")
    with open(RESERVED) as f:
        return {line.strip() for line in f if line.strip() and not line.startswith("#")}


def allison_prompts():
    """(id, g722 path, reference words) of every wideband prompt with a plain-words transcript, in id order,
    the reserved ones left out."""
    if not os.path.isdir(WIDEBAND_PROMPTS):
        return []
    out = [(name, os.path.join(WIDEBAND_PROMPTS, name + ".g722"), words) for name, words in plain_prompts()]
    return sorted(row for row in out if os.path.exists(row[1]))


def adaptation_split():
    """(adaptation prompts, test prompts): every fourth prompt of at least five words is held back for the
    test; all the others (about 11 minutes) are adapted on."""
    rows = allison_prompts()
    test = [row for row in rows if len(row[2]) >= MIN_PROMPT_WORDS][::4]
    held = {row[0] for row in test}
    return [row for row in rows if row[0] not in held], test


def write_pairs(rows, folder):
    """The prompts as NAME.wav (16 kHz, decoded from G.722) with NAME.txt, the form --adapt reads."""
    os.makedirs(folder, exist_ok=True)
    for name, g722, words in rows:
        stem = os.path.join(folder, name.replace("/", "_"))
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "g722", "-i", g722, stem + ".wav"], check=True)
        with open(stem + ".txt", "w") as f:
            f.write(" ".join(words) + "\n")


# The words wrong in a reading: the same count the tests hold the server to.
edit_distance = word_errors


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


def adaptation(binary, folder, quiet):
    """Adapts a profile on the adaptation prompts with --adapt, then measures the test prompts without and
    with it. Returns the summary lines."""
    adapt_rows, test_rows = adaptation_split()
    if not adapt_rows:
        return ["WER adapted : set not installed"]
    pairs, test, voice = (os.path.join(folder, name) for name in ("pairs", "test", "voice"))
    write_pairs(adapt_rows, pairs)
    write_pairs(test_rows, test)
    rows = [(os.path.join(test, name.replace("/", "_") + ".wav"), words) for name, _, words in test_rows]
    started = time.monotonic()
    run = subprocess.run([binary, "--adapt", pairs, "--voice", voice], capture_output=True, text=True)
    took = time.monotonic() - started
    lines = run.stderr.splitlines()
    if not quiet:
        print("\n".join(lines))
    if run.returncode != 0:
        sys.exit(f"adaptation failed (status {run.returncode}):\n{run.stderr}")
    figures = []
    for name, args in (("no profile", []), ("profile", ["--voice", voice])):
        with Server(binary, *args) as server:
            if not quiet:
                print(f"== adaptation test prompts, {name}")
            errors, words, _, _ = measure(server, rows, folder, quiet, [])
        figures.append((errors, words))
    (before, words), (after, _) = figures
    summary = [line for line in lines if "adapted on" in line or "word error on the held-back" in line]
    return summary + [
        f"WER adapted : {100.0 * before / words:5.1f} % without the profile, {100.0 * after / words:5.1f} % with it "
        f"({len(rows)} test prompts, {words} words; {100.0 * (before - after) / max(before, 1):.0f} % fewer "
        f"word errors); --adapt took {took:.0f} s"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary", nargs="?", default=DEFAULT_BINARY)
    parser.add_argument("--quiet", action="store_true")
    parser.add_argument("--set", choices=["testdata", "prompts", "adaptation"])
    parser.add_argument("--ceiling", type=float)
    parser.add_argument("--voice", help="decode the testdata and prompts sets with this voice profile")
    parser.add_argument("--words", help="decode the testdata and prompts sets with this word list")
    parser.add_argument("--stream", action="store_true",
                        help="upload each recording as a chunked body, decoded while it arrives")
    options = parser.parse_args()
    quiet, binary = options.quiet, options.binary
    sets = [(name, load()) for name, load in (("testdata", testdata), ("prompts", prompts))
            if options.set in (None, name)]
    totals = []
    worst = 0.0
    uncapitalised = []
    profile = ["--voice", options.voice] if options.voice else []
    profile += ["--words", options.words] if options.words else []
    with tempfile.TemporaryDirectory() as folder, Server(binary, *profile) as server:
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
    if options.set in (None, "adaptation"):
        with tempfile.TemporaryDirectory() as folder:
            totals += adaptation(binary, folder, quiet)
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
