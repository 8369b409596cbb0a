#!/usr/bin/env python3
"""How often dictate-server hears the spoken punctuation commands: sentences holding them, spoken by the
four voices of the flite synthesiser (Debian package flite), resampled to the 48 kHz dictate records and
uploaded; the marks in the written replies are counted against the marks the sentence asks for.

usage: bench/server/spoken_commands.py [PATH/TO/dictate-server] [--quiet] [server options...]
Prints one line per sentence and voice (the reply where a mark is missed or added) and, per command, the
marks heard of those said; then the marks added where none was said and the word error of the sentences'
other words. Synthetic speech: a figure to compare changes by, not what a person's voice gets.
"""

import argparse
import collections
import os
import re
import subprocess
import sys
import tempfile

from server_process import DEFAULT_BINARY, Server
from wer import edit_distance, words_of

VOICES = ["kal16", "awb", "rms", "slt"]
MARKS = ",.?!:;-\"()\n"

# (command, sentence as said, the marks its written form holds)
SENTENCES = [
    ("comma", "yes comma i will come home", ","),
    ("comma", "first comma we eat", ","),
    ("period", "the meeting is over period", "."),
    ("period", "it is late period we go", "."),
    ("full stop", "we can go now full stop", "."),
    ("question mark", "are you coming tomorrow question mark", "?"),
    ("exclamation mark", "that was great exclamation mark", "!"),
    ("exclamation point", "well done exclamation point", "!"),
    ("colon", "you need three things colon bread milk and eggs", ":"),
    ("semicolon", "it was late semicolon we went home", ";"),
    ("dash", "the answer dash as always dash was no", "--"),
    ("hyphen", "she is a well hyphen known writer", "-"),
    ("open quote, close quote", "he said open quote hello close quote to me", '""'),
    ("open paren, close paren", "the price open paren in dollars close paren is high", "()"),
    ("new line", "dear john new line thank you for the letter", "\n"),
    ("new paragraph", "that is all new paragraph the next point is money", "\n\n"),
]

# Every phrase the sentences say, longest first.
PHRASES = [p.split() for p in ("full stop", "question mark", "exclamation mark", "exclamation point",
                               "open quote", "close quote", "open paren", "close paren", "new line",
                               "new paragraph", "comma", "period", "colon", "semicolon", "dash", "hyphen")]


def other_words(said):
    """The sentence's words outside its commands: the words its written form spells out."""
    words, out, i = said.split(), [], 0
    while i < len(words):
        phrase = next((p for p in PHRASES if words[i:i + len(p)] == p), None)
        if phrase:
            i += len(phrase)
        else:
            out.append(words[i])
            i += 1
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary", nargs="?", default=DEFAULT_BINARY)
    parser.add_argument("--quiet", action="store_true")
    options, server_args = parser.parse_known_args()
    heard = collections.Counter()
    said = collections.Counter()
    added = errors = words = 0
    with tempfile.TemporaryDirectory() as folder, Server(options.binary, *server_args) as server:
        for command, sentence, marks in SENTENCES:
            for voice in VOICES:
                spoken = os.path.join(folder, "spoken.wav")
                upload = os.path.join(folder, "48k.wav")
                subprocess.run(["flite", "-voice", voice, "-t", sentence, "-o", spoken], check=True)
                subprocess.run(["sox", "-D", spoken, "-r", "48000", "-b", "16", "-c", "1", upload],
                               check=True)
                with open(upload, "rb") as f:
                    text = server.transcribe(f.read())["text"]
                got = collections.Counter(c for c in text if c in MARKS)
                wanted = collections.Counter(marks)
                found = sum(min(got[m], n) for m, n in wanted.items())
                extra = sum((got - wanted).values())
                heard[command] += found
                said[command] += len(marks)
                added += extra
                ref = other_words(sentence)
                errors += edit_distance(ref, words_of(text))
                words += len(ref)
                if not options.quiet and (found < len(marks) or extra):
                    print(f"  {voice:6s} {sentence!r:58s} -> {text!r}")
    for command, _, _ in SENTENCES:
        if said[command]:
            print(f"{command:24s} {heard[command]:3d} of {said[command]:3d} marks heard")
            said[command] = 0
    total_heard, total_said = sum(heard.values()), sum(len(m) for _, _, m in SENTENCES) * len(VOICES)
    print(f"all commands: {total_heard} of {total_said} marks heard ({100.0 * total_heard / total_said:.0f} %); "
          f"{added} marks added where none was said; word error of the other words "
          f"{100.0 * errors / words:.1f} % ({errors} of {words})")


if __name__ == "__main__":
    sys.exit(main())
