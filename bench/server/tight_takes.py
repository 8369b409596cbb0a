#!/usr/bin/env python3
"""Takes whose speech fills the file: sentences spoken by the four voices of the flite synthesiser (Debian
package flite), cut with sox where the sound first and last rises above 1 % of full scale, so that no quiet
is left before or after the words, resampled to the 48 kHz dictate records and uploaded whole and streamed.
Counts the replies without words and the word error of the rest.

usage: PYTHONPATH=tests python3 bench/server/tight_takes.py [PATH/TO/dictate-server] [--quiet]
Prints one line per take that comes back without words (or, without --quiet, differs from its sentence),
then the totals. Synthetic speech: a figure to compare changes by, not what a person's voice gets.
"""

import argparse
import os
import subprocess
import sys
import tempfile

from server_process import DEFAULT_BINARY, Server
from wer import edit_distance, words_of

VOICES = ["awb", "slt", "rms", "kal16"]

# Sentences of our own, as a person dictates them; no spoken punctuation, so the reply is the words.
SENTENCES = [
    "i will write a short guide to kubernetes for the team",
    "please send me the report before friday",
    "the meeting has been moved to next tuesday",
    "we need more paper for the printer",
    "my train was late again this morning",
    "can you call me back when you are free",
    "the garden looks lovely in the spring",
    "thank you for the quick reply",
    "i think we should try a different approach",
    "the children played in the park all afternoon",
    "remember to buy milk on the way home",
    "the new version fixes the memory leak",
    "she read the whole book in one night",
    "let us meet at the station at noon",
    "the weather will be cold and windy tomorrow",
    "he forgot his keys in the office",
    "we finished the project ahead of time",
    "open the window if it gets too warm",
    "the price of coffee went up last week",
    "write down the names of everyone who came",
    "our neighbours are moving to the coast",
    "the doctor said i should rest for a few days",
    "turn left at the second traffic light",
    "the library closes early on sundays",
    "i would like a table for two please",
    "the river flooded after the heavy rain",
    "check the numbers again before you sign",
    "they painted the kitchen a bright yellow",
    "the old bridge will be closed for repairs",
    "add a short summary at the top of the page",
    "my sister works at the hospital downtown",
    "we ran out of time to answer every question",
    "the dog barked at the postman every day",
    "save the file and close the program",
    "the concert starts at eight in the evening",
    "he walked to work because the car broke down",
]


def tight_take(folder, voice, sentence):
    """The sentence as flite says it, cut to its sound and resampled to 48 kHz 16-bit mono."""
    spoken = os.path.join(folder, "spoken.wav")
    path = os.path.join(folder, "take.wav")
    subprocess.run(["flite", "-voice", voice, "-t", sentence, "-o", spoken], check=True)
    subprocess.run(["sox", "-D", spoken, "-r", "48000", "-b", "16", "-c", "1", path,
                    "silence", "1", "0.01", "1%", "reverse", "silence", "1", "0.01", "1%", "reverse"],
                   check=True)
    with open(path, "rb") as f:
        return f.read()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary", nargs="?", default=DEFAULT_BINARY)
    parser.add_argument("--quiet", action="store_true")
    options = parser.parse_args()
    empty = {"whole": 0, "streamed": 0}
    errors = {"whole": 0, "streamed": 0}
    words = 0
    takes = 0
    with tempfile.TemporaryDirectory() as folder, Server(options.binary) as server:
        for sentence in SENTENCES:
            for voice in VOICES:
                take = tight_take(folder, voice, sentence)
                takes += 1
                ref = sentence.split()
                words += len(ref)
                for way in ("whole", "streamed"):
                    hyp = words_of(server.transcribe(take, way == "streamed")["text"])
                    wrong = edit_distance(ref, hyp)
                    errors[way] += wrong
                    if not hyp:
                        empty[way] += 1
                    if not hyp or (wrong and not options.quiet):
                        print(f"  {voice:6s} {way:8s} {sentence!r:52s} -> {' '.join(hyp)!r}")
    for way in ("whole", "streamed"):
        print(f"{way:8s}: {empty[way]} of {takes} takes without words; word error "
              f"{100.0 * errors[way] / words:.1f} % ({errors[way]} of {words})")


if __name__ == "__main__":
    sys.exit(main())
