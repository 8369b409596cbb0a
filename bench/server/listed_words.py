#!/usr/bin/env python3
"""How well dictate-server hears the user's own words (--words): a list of names, products and terms, most
outside the recogniser's dictionary, and sentences that hold them and sentences that don't, spoken by three
voices of the flite synthesiser (Debian package flite), resampled to the 48 kHz dictate records and
uploaded. A sentence holding an entry counts as heard when the reply holds the entry spelled exactly as
listed; a sentence holding none counts as a false entry when the reply holds any.

usage: PYTHONPATH=tests python3 bench/server/listed_words.py [PATH/TO/dictate-server] [--quiet] [--no-words]
                                                            [--said-as] [--voices slt,kal16,awb] [server options...]
Prints the sentences where an entry is missed or added (unless --quiet), then the figures. --no-words
starts the server without the list, for the figure before; --said-as gives the three entries the
letter-to-sound rules read wrongly ("Django") the "= said as" a user would add. Synthetic speech: the voices read the
sentences from spellings of how people say the entries ("koo ber net ease"), not the entries themselves.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

from server_process import DEFAULT_BINARY, Server

VOICES = ["slt", "kal16", "awb", "rms"]

# The list as a user would write it.
WORDS = """# names, products and terms said at work
Ansible
Django
PyTorch
Kubernetes
Grafana
Terraform
Nginx = engine x
Okonkwo
Figma
Jira
Redis
JSON = jason
Vercel
Supabase
Oyelaran
Nakamura
SQLite = sequel light
Postgres
Webpack
Kotlin
n8n
AWS
GitLab
Tailwind
New York Times
"""

# How each entry is said, in spellings the synthesiser reads as people say them.
SAID = {
    "Ansible": "ansible", "Django": "jango", "PyTorch": "pie torch", "Kubernetes": "koo ber net ease",
    "Grafana": "gruh fah nuh", "Terraform": "terraform", "Nginx": "engine x", "Okonkwo": "oh conk woe",
    "Figma": "figma", "Jira": "jeera", "Redis": "red iss", "JSON": "jason", "Vercel": "ver sell",
    "Supabase": "soupa base", "Oyelaran": "oh yeah lah ran", "Nakamura": "nakamura",
    "SQLite": "sequel light", "Postgres": "post gress", "Webpack": "web pack", "Kotlin": "cot lin",
    "n8n": "n eight n", "AWS": "ay w s", "GitLab": "ghit lab", "Tailwind": "tail wind",
    "New York Times": "new york times",
}

# Sentences with [Entry] where an entry is said.
HOLDING = """We deploy the site with [Ansible] every night
The [Ansible] playbook failed on the second host
Ask her to update the [Ansible] roles
The admin pages are written in [Django]
We moved the [Django] project to the new server
Please read the [Django] release notes first
The model is trained in [PyTorch] on one card
He ported the old code to [PyTorch] last week
Install [PyTorch] before you run the notebook
Our services run on [Kubernetes] in two regions
The [Kubernetes] cluster needs more memory
She gave a talk about [Kubernetes] networking
The dashboards live in [Grafana] now
Open [Grafana] and look at the error graph
I added a new panel to [Grafana] this morning
All the servers are described in [Terraform]
Run [Terraform] plan before you change anything
The [Terraform] state file is locked again
Put [Nginx] in front of the application
The [Nginx] logs show many slow requests
Restart [Nginx] after you change the settings
Please send the report to doctor [Okonkwo]
Mister [Okonkwo] will join the call at noon
I spoke with [Okonkwo] about the budget
The new screens are drawn in [Figma]
Share the [Figma] file with the whole team
She copied the colours from [Figma]
Open a ticket in [Jira] for this problem
The [Jira] board is full of old tasks
Move the story to done in [Jira]
The sessions are kept in [Redis] for an hour
Clear the [Redis] cache and try again
We use [Redis] as a simple queue
The reply comes back as [JSON] with two fields
Write the settings to a [JSON] file
The parser fails on broken [JSON] input
The front end is hosted on [Vercel]
Every branch gets a preview on [Vercel]
We pay for [Vercel] by the month
The users table is stored in [Supabase]
Log in to [Supabase] and copy the key
We left [Supabase] for our own database
Ask doctor [Oyelaran] about the results
The letter from [Oyelaran] came on Monday
I will meet [Oyelaran] at the station
Ask doctor [Nakamura] about the upgrade
The team of professor [Nakamura] won the prize
Send the draft to [Nakamura] before Friday
The phone keeps its notes in [SQLite]
A small [SQLite] file holds the whole index
We read the [SQLite] database every hour
The orders live in [Postgres] now
Back up the [Postgres] server tonight
The [Postgres] query takes ten seconds
The old site is built with [Webpack]
Upgrade [Webpack] to the latest release
The [Webpack] build is very slow today
The phone app is written in [Kotlin]
She likes [Kotlin] more than Java
Port the service to [Kotlin] next year
The invoices are sent by an [n8n] workflow
We run [n8n] on a small server
Add a new step to the [n8n] flow
The backups are stored on [AWS] in Ireland
Our bill from [AWS] went up again
Move the build machines to [AWS]
The code lives on [GitLab] now
Open a merge request on [GitLab]
The [GitLab] runner is out of disk space
The buttons are styled with [Tailwind]
Add [Tailwind] to the new project
The [Tailwind] classes make the page long
I read it in the [New York Times] this morning
The [New York Times] wrote about our town
She writes for the [New York Times] now
[Ansible] and [Terraform] set up the new machines
[Postgres] is faster than [SQLite] for this
The [Django] app talks to [Redis] and [Postgres]
Send the [Figma] link to [Okonkwo]
[Nakamura] wants the numbers in [JSON]
[Kubernetes] pulls the images from [GitLab]
The [PyTorch] model runs on [AWS]
[Grafana] shows the [Nginx] traffic
[Jira] sends a message to [n8n]
[Vercel] builds the [Tailwind] pages
[Supabase] keeps the [Kotlin] app data
""".strip().splitlines()

NOT_HOLDING = """The meeting starts at ten in the morning
Please send me the report before lunch
We need more time to finish the work
The weather was cold and wet all week
She bought a new car last month
The train was late again today
Call me when you get home tonight
He is reading a book about the war
The children played in the park
Our office moves to the third floor
Turn off the lights when you leave
The bread and the milk are on the table
I will write the letter tomorrow
The price of the house went up
We walked along the river for an hour
The doctor said it was nothing serious
Put the boxes in the back of the truck
The music was too loud for me
He lost his keys at the station
The new engine is very quiet
Make it simple and send it tonight
The light in the hall is broken
Her friend Jack came to dinner
The post office closes at five
We read the times table in school
They cut the grass on Sunday
The red car is parked outside
The figures for May look better
My sister lives in a small town
Write down the names of the guests
""".strip().splitlines()


# Entries whose spelling the letter-to-sound rules read wrongly, and the "= said as" a user would add.
SAID_AS = {"Django": "jango", "Jira": "jeera", "Kubernetes": "koo ber net ease"}


def with_said_as(words):
    return "".join(f"{line} = {SAID_AS[line]}\n" if line in SAID_AS else line + "\n" for line in words.splitlines())


def entries():
    listed = []
    for line in WORDS.splitlines():
        line = line.split("#")[0].strip()
        if line:
            listed.append(line.split("=")[0].strip())
    return listed


def said(sentence):
    return re.sub(r"\[([^]]+)\]", lambda m: SAID[m.group(1)], sentence).lower()


def holds(text, entry):
    return re.search(r"(?<![\w-])" + re.escape(entry) + r"(?![\w-])", text) is not None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary", nargs="?", default=DEFAULT_BINARY)
    parser.add_argument("--quiet", action="store_true")
    parser.add_argument("--no-words", action="store_true")
    parser.add_argument("--voices", default="slt,kal16,awb")
    parser.add_argument("--said-as", action="store_true",
                        help="give the entries the rules read wrongly their \"= said as\" (SAID_AS)")
    options, server_args = parser.parse_known_args()
    voices = options.voices.split(",")
    listed = entries()
    said_count = heard = 0
    other_sentences = false_entries = 0
    with tempfile.TemporaryDirectory() as folder:
        words_file = os.path.join(folder, "words.txt")
        with open(words_file, "w") as f:
            f.write(with_said_as(WORDS) if options.said_as else WORDS)
        args = [] if options.no_words else ["--words", words_file]
        with Server(options.binary, *args, *server_args) as server:
            for sentence in HOLDING + NOT_HOLDING:
                wanted = re.findall(r"\[([^]]+)\]", sentence)
                for voice in voices:
                    spoken = os.path.join(folder, "spoken.wav")
                    upload = os.path.join(folder, "48k.wav")
                    subprocess.run(["flite", "-voice", voice, "-t", said(sentence), "-o", spoken], check=True)
                    subprocess.run(["sox", "-D", spoken, "-r", "48000", "-b", "16", "-c", "1", upload],
                                   check=True)
                    with open(upload, "rb") as f:
                        text = server.transcribe(f.read())["text"]
                    missed = [e for e in dict.fromkeys(wanted) if not holds(text, e)]
                    added = [e for e in listed if e not in wanted and holds(text, e)]
                    if wanted:
                        said_count += len(set(wanted))
                        heard += len(set(wanted)) - len(missed)
                    else:
                        other_sentences += 1
                        false_entries += 1 if added else 0
                    if not options.quiet and (missed or added):
                        print(f"  {voice:6s} {sentence!r:55s} -> {text!r}")
    print(f"{len(listed)} entries, {len(HOLDING)} sentences holding them and {len(NOT_HOLDING)} without, "
          f"voices {', '.join(voices)}")
    print(f"entries written as listed where said: {heard} of {said_count} ({100.0 * heard / said_count:.1f} %)")
    print(f"sentences without an entry that got one: {false_entries} of {other_sentences} "
          f"({100.0 * false_entries / other_sentences:.1f} %)")


if __name__ == "__main__":
    sys.exit(main())
