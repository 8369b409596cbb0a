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

- voices: sentences of our own (series_sentences.txt) read by each of the speech synthesiser's voices
  (flite), 16 kHz; measured with --set voices only.

- adaptation: the same speaker's prompts in G.722 (asterisk-core-sounds-en-g722, 16 kHz): every fourth
  prompt of at least five words is the test set, all the others (about 11 minutes) are adapted on with
  --adapt; the test set is then measured without and with the profile. The same with only 35 of her
  sentences (about 80 s of speech, too little to hold back a minute). Then a MAP model that hurts her
  speech must be refused: 30 of her sentences among 400 one- and two-word takes in espeak-ng's voice.
- phrasing: the same test prompts, measured without and with a language learnt (--learn-text) from the
  texts of all the other prompts (any prompt whose words are those of a test prompt left out too), and the
  testdata set with that language loaded.
Prompts listed in ../shared/asr/reserved-prompts.txt (or $DICTATE_RESERVED_PROMPTS) are never used.

usage: PYTHONPATH=tests python3 bench/server/wer.py [PATH/TO/dictate-server] [--quiet]
                           [--set testdata|prompts|voices|adaptation|phrasing] [--ceiling PERCENT]
                           [--voice VOICE_DIR] [--profile PROFILE_DIR] [--words FILE]
                           [--stream [--series]]
With --series every streamed upload names its speaker's series of takes (X-Take-Series), one series per
speaker, in the set's order: the testdata set's two readers, the prompts' one, each synthetic voice.
Prints one line per recording (reference, then hypothesis where they differ) and a total per set. With
--ceiling it exits with status 1 when a set's word error rate is above PERCENT (the tests' accuracy guard).
The server answers written text; its words are scored without case and punctuation, and every text that
has words must start with a capital (exit status 1 otherwise).
"""

import argparse
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from server_process import DEFAULT_BINARY, TEST_DATA, Server
from support.harness import word_errors

TESTDATA_SETS = [("librivox", "transcription"), ("cards", "cards.transcription")]
PROMPTS = "/usr/share/asterisk/sounds/en_US_f_Allison"
PROMPT_TEXT = "/usr/share/doc/asterisk-core-sounds-en/core-sounds-en.txt.gz"
DICTIONARY = subprocess.run(["pkg-config", "--variable=modeldir", "pocketsphinx"], capture_output=True, text=True,
                            check=True).stdout.strip() + "/en-us/cmudict-en-us.dict"
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


SERIES_SENTENCES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "series_sentences.txt")
FLITE_VOICES = ["slt", "rms", "awb", "kal16"]


def voices(folder):
    """(wav path, reference words, speaker) for every sentence of series_sentences.txt read by each voice,
    voice after voice."""
    if subprocess.run(["sh", "-c", "command -v flite"], capture_output=True).returncode != 0:
        return []
    with open(SERIES_SENTENCES) as f:
        sentences = [line.split() for line in f if line.strip() and not line.startswith("#")]
    out = []
    for voice in FLITE_VOICES:
        for i, words in enumerate(sentences):
            wav = os.path.join(folder, f"{voice}-{i:02d}.wav")
            subprocess.run(["flite", "-voice", voice, "-t", " ".join(words), "-o", wav], check=True)
            out.append((wav, words, voice))
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


def speaker_of(wav):
    """The testdata set's readers by folder; every prompt is one speaker's."""
    return os.path.basename(os.path.dirname(wav))


def measure(server, rows, folder, quiet, uncapitalised, stream=False, series=False):
    errors = words = 0
    audio = decode = 0.0
    ids = {}
    for row in rows:
        wav, ref = row[0], row[1]
        speaker = row[2] if len(row) > 2 else speaker_of(wav)
        series_id = ids.setdefault(speaker, os.urandom(16).hex()) if series else None
        up = os.path.join(folder, "48k.wav")
        # Without dither, as dictate records: the same file then always uploads the same samples.
        subprocess.run(["sox", "-D", wav, "-r", "48000", "-b", "16", "-c", "1", up], check=True)
        with open(up, "rb") as f:
            reply = server.transcribe(f.read(), stream, series_id)
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


def run_server_command(args, quiet):
    """Runs one of the server's commands that exit (--adapt, --learn-text); returns the finished process,
    its standard error's lines (printed unless quiet) and the seconds it took."""
    started = time.monotonic()
    run = subprocess.run(args, capture_output=True, text=True)
    took = time.monotonic() - started
    lines = run.stderr.splitlines()
    if not quiet:
        print("\n".join(lines))
    return run, lines, took


def adaptation(binary, folder, quiet, few=None):
    """Adapts a profile on the adaptation prompts with --adapt (only `few` of their sentences, spread over
    them, when given), then measures the test prompts without and with it. Returns the summary lines."""
    adapt_rows, test_rows = adaptation_split()
    if not adapt_rows:
        return ["WER adapted : set not installed"]
    label = "WER adapted" if few is None else f"{few} sentences"
    if few is not None:
        sentences = [row for row in adapt_rows if len(row[2]) >= MIN_PROMPT_WORDS]
        adapt_rows = sentences[::max(1, len(sentences) // few)][:few]
    pairs, test, voice = (os.path.join(folder, name) for name in ("pairs", "test", "voice"))
    write_pairs(adapt_rows, pairs)
    write_pairs(test_rows, test)
    rows = [(os.path.join(test, name.replace("/", "_") + ".wav"), words) for name, _, words in test_rows]
    run, lines, took = run_server_command([binary, "--adapt", pairs, "--voice", voice], quiet)
    if run.returncode != 0:
        sys.exit(f"adaptation failed (status {run.returncode}):\n{run.stderr}")
    prefix = "" if few is None else f"{label}: "
    summary = [prefix + line for line in lines if "adapted on" in line or "word error on the held-back" in line]
    if not os.path.exists(voice):
        return summary + [f"{label}: no profile written"]
    figures = []
    for name, args in (("no profile", []), ("profile", ["--voice", voice])):
        with Server(binary, *args) as server:
            if not quiet:
                print(f"== adaptation test prompts, {name}")
            errors, words, _, _ = measure(server, rows, folder, quiet, [])
        figures.append((errors, words))
    (before, words), (after, _) = figures
    return summary + [
        f"{label} : {100.0 * before / words:5.1f} % without the profile, {100.0 * after / words:5.1f} % with it "
        f"({len(rows)} test prompts, {words} words; {100.0 * (before - after) / max(before, 1):.0f} % fewer "
        f"word errors); --adapt took {took:.0f} s"]


def other_voice_pairs(rows, folder, count):
    """`count` takes of another voice (espeak-ng's) saying one or two words of the prompts' texts, as
    voice-NNN.wav with voice-NNN.txt, only words the dictionary knows."""
    with open(DICTIONARY) as f:
        known = {line.split()[0] for line in f if line.strip()}
    words = [word for _, _, text in rows for word in text if word in known]
    os.makedirs(folder, exist_ok=True)
    for i in range(count):
        said = words[(3 * i) % len(words):][:1 + i % 2]
        stem = os.path.join(folder, f"voice-{i:03d}")
        subprocess.run(["espeak-ng", "-w", stem + ".wav", " ".join(said)], check=True)
        with open(stem + ".txt", "w") as f:
            f.write(" ".join(said) + "\n")


def adaptation_refused(binary, folder, quiet):
    """A MAP model that hurts the speaker: 30 of the speaker's sentences (five words or more) among 400 takes
    of one or two words in another voice. The judge holds back sentences, so it is the speaker's own
    speech that shows the harm. Returns the summary lines."""
    adapt_rows, _ = adaptation_split()
    if not adapt_rows or shutil.which("espeak-ng") is None:
        return ["another voice: set or espeak-ng not installed"]
    sentences = [row for row in adapt_rows if len(row[2]) >= MIN_PROMPT_WORDS]
    pairs, voice = os.path.join(folder, "mixed"), os.path.join(folder, "mixed-voice")
    write_pairs(sentences[::max(1, len(sentences) // 30)][:30], pairs)
    other_voice_pairs(adapt_rows, pairs, 400)
    run = subprocess.run([binary, "--adapt", pairs, "--voice", voice], capture_output=True, text=True)
    if not quiet:
        print("\n".join(run.stderr.splitlines()))
    if run.returncode != 0:
        sys.exit(f"adaptation failed (status {run.returncode}):\n{run.stderr}")
    kept = os.path.exists(voice)
    return [f"another voice: {line}" for line in run.stderr.splitlines()
            if "adapted on" in line or "word error on the held-back" in line] + [
        f"another voice: {'a profile was written' if kept else 'no profile written'}"]


def phrasing_text(test_rows):
    """The domain's writing to learn from: the published text of every prompt but the test prompts (and any
    prompt whose words are a test prompt's), the reserved ones left out, each a paragraph of its own."""
    test_names = {name for name, _, _ in test_rows}
    test_words = {" ".join(words) for _, _, words in test_rows}
    reserved = reserved_prompts()
    texts = []
    with gzip.open(PROMPT_TEXT, "rt", encoding="utf-8", errors="replace") as f:
        for line in f:
            found = re.match(r"^([\w/-]+):\s+(.*\S)\s*$", line)
            if not found:
                continue
            name, text = found.groups()
            if name in test_names or name.replace("/", "_") in reserved:
                continue
            if " ".join(re.sub(r"[^a-z' ]", " ", text.lower().replace("-", " ")).split()) in test_words:
                continue
            texts.append(text)
    return "\n\n".join(texts) + "\n"


def phrasing(binary, folder, quiet):
    """Learns a language from the other prompts' texts with --learn-text, then measures the test prompts
    without and with it, and the testdata set with it. Returns the summary lines."""
    _, test_rows = adaptation_split()
    if not test_rows:
        return ["WER phrasing: set not installed"]
    text, test, profile = (os.path.join(folder, name) for name in ("writing", "test", "profile"))
    os.makedirs(text)
    with open(os.path.join(text, "prompts.txt"), "w") as f:
        f.write(phrasing_text(test_rows))
    write_pairs(test_rows, test)
    rows = [(os.path.join(test, name.replace("/", "_") + ".wav"), words) for name, _, words in test_rows]
    run, lines, took = run_server_command([binary, "--learn-text", text, "--profile", profile], quiet)
    if run.returncode != 0 or not any("kept the learnt language" in line for line in lines):
        sys.exit(f"learning failed or kept nothing (status {run.returncode}):\n{run.stderr}")
    figures = []
    for name, args in (("general", ["--no-profile"]), ("learnt", ["--profile", profile])):
        with Server(binary, *args) as server:
            if not quiet:
                print(f"== phrasing test prompts, {name} language")
            figures.append(measure(server, rows, folder, quiet, [])[:2])
            if name == "learnt":
                if not quiet:
                    print("== testdata, learnt language")
                general_errors, general_words, _, _ = measure(server, testdata(), folder, quiet, [])
    (before, words), (after, _) = figures
    summary = [line for line in lines if "learnt from" in line or "perplexity" in line]
    return summary + [
        f"WER phrasing: {100.0 * before / words:5.1f} % with the general language, {100.0 * after / words:5.1f} % "
        f"with the learnt one ({len(rows)} test prompts, {words} words; "
        f"{100.0 * (before - after) / max(before, 1):.0f} % fewer word errors); --learn-text took {took:.1f} s",
        f"WER testdata with the learnt language: {100.0 * general_errors / general_words:5.1f} % "
        f"({general_errors} errors in {general_words} words)"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary", nargs="?", default=DEFAULT_BINARY)
    parser.add_argument("--quiet", action="store_true")
    parser.add_argument("--set", choices=["testdata", "prompts", "voices", "adaptation", "phrasing"])
    parser.add_argument("--ceiling", type=float)
    parser.add_argument("--voice", help="decode the testdata and prompts sets with this voice profile")
    parser.add_argument("--profile", help="decode the testdata and prompts sets with this profile folder")
    parser.add_argument("--words", help="decode the testdata and prompts sets with this word list")
    parser.add_argument("--stream", action="store_true",
                        help="upload each recording as a chunked body, decoded while it arrives")
    parser.add_argument("--series", action="store_true",
                        help="with --stream: each speaker's recordings one after another as a series of takes")
    options = parser.parse_args()
    quiet, binary = options.quiet, options.binary
    synthetic = tempfile.TemporaryDirectory()
    sets = [(name, load()) for name, load in (("testdata", testdata), ("prompts", prompts))
            if options.set in (None, name)]
    if options.set == "voices":
        sets.append(("voices", voices(synthetic.name)))
    totals = []
    worst = 0.0
    uncapitalised = []
    profile = (["--voice", options.voice] if options.voice else []) + (
        ["--profile", options.profile] if options.profile else [])
    profile += ["--words", options.words] if options.words else []
    peak = 0.0
    with tempfile.TemporaryDirectory() as folder, Server(binary, *profile) as server:
        for name, rows in sets:
            if not rows:
                totals.append(f"WER {name:8s}: set not installed")
                continue
            if not quiet:
                print(f"== {name}")
            errors, words, audio, decode = measure(server, rows, folder, quiet, uncapitalised,
                                                   options.stream, options.series)
            worst = max(worst, 100.0 * errors / words)
            totals.append(f"WER {name:8s}: {100.0 * errors / words:5.1f} % "
                          f"({errors} errors in {words} words, "
                          f"{len(rows)} recordings); decode real-time factor {decode / audio:.3f} "
                          f"({decode:.1f} s for {audio:.1f} s)")
        peak = server.peak_rss_mb()
    if options.set in (None, "adaptation"):
        with tempfile.TemporaryDirectory() as folder:
            totals += adaptation(binary, folder, quiet)
        with tempfile.TemporaryDirectory() as folder:
            totals += adaptation(binary, folder, quiet, few=35)
        with tempfile.TemporaryDirectory() as folder:
            totals += adaptation_refused(binary, folder, quiet)
    if options.set in (None, "phrasing"):
        with tempfile.TemporaryDirectory() as folder:
            totals += phrasing(binary, folder, quiet)
    synthetic.cleanup()
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
