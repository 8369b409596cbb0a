"""The user's word list, through the built dictate-server: entries outside the dictionary heard in a
synthetic voice and written as listed, a "= said as" entry, a line that can't be used told and skipped, and
a list that can't be read refused at start.

usage: listed_words_test.py PATH/TO/dictate-server
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from support import server_process
from support.server_process import Server, upload

SERVER = ""

WORDS = """# work words
Ansible
under_score
SQLite = sequel light
n8n
"""


class ListedWords(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="dictate-words-test-")
        cls.words = os.path.join(cls.work, "words.txt")
        with open(cls.words, "w") as f:
            f.write(WORDS)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def spoken(self, sentence, voice):
        """`sentence` as the synthesiser says it, in the 48 kHz 16-bit mono dictate uploads."""
        said = os.path.join(self.work, "said.wav")
        take = os.path.join(self.work, "take.wav")
        subprocess.run(["flite", "-voice", voice, "-t", sentence, "-o", said], check=True)
        subprocess.run(["sox", "-D", said, "-r", "48000", "-b", "16", "-c", "1", take], check=True)
        with open(take, "rb") as f:
            return f.read()

    def test_entries_are_heard_and_written_as_listed(self):
        with Server("--port", "0", "--words", self.words) as server:
            self.assertIn(f"dictate-server: {self.words}:3: the character '_' (an entry holds letters, digits, "
                          "spaces and - ' . & +); skipped", server.lines)
            self.assertIn(f"dictate-server: 3 words from {self.words}", server.lines)
            cases = [
                # Outside the dictionary: said by the synthesiser's own reading of the word.
                ("we deploy the site with ansible every night", "slt", r"\bAnsible\b"),
                ("we deploy the site with ansible every night", "awb", r"\bAnsible\b"),
                # Said as listed after "=".
                ("the phone keeps its notes in sequel light", "slt", r"\bSQLite\b"),
                # Letters and a digit, spelled out.
                ("we run n eight n on a small server", "slt", r"\bn8n\b"),
                # None of them said: none written.
                ("the meeting starts at ten in the morning", "slt", r"^(?!.*(Ansible|SQLite|n8n))"),
            ]
            for sentence, voice, expected in cases:
                with self.subTest(sentence=sentence, voice=voice):
                    status, body = upload(server, self.spoken(sentence, voice))
                    self.assertEqual(status, 200, body)
                    self.assertRegex(body["text"], expected)

    def test_a_word_list_that_cant_be_read_stops_the_start(self):
        missing = os.path.join(self.work, "missing.txt")
        done = subprocess.run([SERVER, "--port", "0", "--words", missing], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=60, env=server_process.WITHOUT_VOICE_PROFILE)
        self.assertEqual(done.returncode, 2, done.stderr)
        self.assertEqual(done.stderr, f"dictate-server: cannot read the word list {missing}: No such file or "
                                      "directory\n")


if __name__ == "__main__":
    SERVER = sys.argv[1]
    server_process.SERVER = SERVER
    unittest.main(argv=[sys.argv[0], "-v"])
