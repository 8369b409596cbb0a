#!/usr/bin/env python3
"""Model load time: from starting dictate-server to its "listening" line (the model loads before it).

usage: PYTHONPATH=tests python3 bench/server/load_time.py [PATH/TO/dictate-server] [RUNS] [--words N]
                           [SERVER OPTIONS...]
Server options are passed on (for instance --profile DIR, to load a learnt language as well). With --words N
it also starts the server with a word list of N made-up names, products and terms (none in the dictionary,
so each is read by the letter-to-sound rules, the slow way) and prints both figures. Also prints the memory
the loaded server holds.
"""

import argparse
import os
import random
import statistics
import tempfile

from server_process import DEFAULT_BINARY, Server


def made_up_words(count):
    """`count` different entries: made-up names, some in two words, some with digits, some said as."""
    rng = random.Random(7)
    onsets, vowels, codas = "b d f g k l m n p r s t v z br tr kl st sh ch".split(), "a e i o u ai ea".split(), \
        "n r s l k x nd st".split()
    entries = set()
    while len(entries) < count:
        word = "".join(rng.choice(onsets) + rng.choice(vowels) for _ in range(rng.randint(2, 3)))
        word = (word + rng.choice(codas)).capitalize()
        kind = len(entries) % 10
        if kind == 7:
            word += f" {rng.choice(['Labs', 'Cloud', 'Studio'])}"
        elif kind == 8:
            word += str(rng.randint(2, 99))
        elif kind == 9:
            word += " = " + rng.choice(["sequel", "engine", "cloud"]) + " " + rng.choice(["light", "works", "x"])
        entries.add(word)
    return "\n".join(sorted(entries)) + "\n"


def ready_times(binary, runs, *args):
    times = []
    memory = []
    for _ in range(runs):
        with Server(binary, *args) as server:
            times.append(server.ready_after)
            memory.append(server.peak_rss_mb())
    return times, memory


def report(what, runs, figures):
    times, memory = figures
    print(f"start-up to ready (model load){what}, {runs} runs: median {statistics.median(times):.3f} s, "
          f"min {min(times):.3f} s, max {max(times):.3f} s; peak memory {max(memory):.1f} MB")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary", nargs="?", default=DEFAULT_BINARY)
    parser.add_argument("runs", nargs="?", type=int, default=5)
    parser.add_argument("--words", type=int, default=0)
    options, server_options = parser.parse_known_args()
    plain = ready_times(options.binary, options.runs, *server_options)
    report("", options.runs, plain)
    if options.words:
        with tempfile.TemporaryDirectory() as folder:
            words = os.path.join(folder, "words.txt")
            with open(words, "w") as f:
                f.write(made_up_words(options.words))
            listed = ready_times(options.binary, options.runs, *server_options, "--words", words)
        report(f" with {options.words} words listed", options.runs, listed)
        print(f"the list adds {statistics.median(listed[0]) - statistics.median(plain[0]):.3f} s (medians)")


if __name__ == "__main__":
    main()
