"""dictate-server --learn-text and --profile, run as a user would: the phrasing of the writing is learnt into
the profile's language while files that are empty, binary, not UTF-8, FIFOs or links out are told and
skipped; a run killed with SIGKILL leaves the language learnt before whole; and a server started on the
profile decodes with its voice and its language, and says so.

usage: language_profile_test.py PATH/TO/dictate-server POCKETSPHINX_MODEL_DIR POCKETSPHINX_TEST_DATA_DIR
"""

import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import unittest

from support import server_process
from support.server_process import Server, upload

SERVER = ""
MODEL_DIR = ""
TEST_DATA = ""

MENU = ["To leave a message, press one.", "To speak to an operator, press zero.",
        "Please enter your mailbox number followed by the pound key.", "To hear your messages, press two.",
        "To change your password, press three.", "Please record your name after the tone.",
        "Ask zorblat about the quintavex."]


def dictionary_words():
    with open(os.path.join(MODEL_DIR, "en-us", "cmudict-en-us.dict")) as f:
        return [line.split()[0] for line in f if "(" not in line.split()[0]][::25]


class LanguageProfile(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="dictate-language-test-")
        cls.env = dict(os.environ, XDG_DATA_HOME=os.path.join(cls.work, "data"))
        cls.profile = os.path.join(cls.work, "profile")
        cls.language = os.path.join(cls.profile, "language")
        cls.writing = os.path.join(cls.work, "writing")
        os.makedirs(os.path.join(cls.writing, "notes"))
        with open(os.path.join(cls.writing, "menu.md"), "w") as f:
            f.write("\n".join(MENU[i % len(MENU)] for i in range(300)) + "\n")
        open(os.path.join(cls.writing, "empty.txt"), "w").close()
        with open(os.path.join(cls.writing, "notes", "binary.txt"), "wb") as f:
            f.write(bytes(range(256)) * 64)
        with open(os.path.join(cls.writing, "notes", "latin1.txt"), "wb") as f:
            f.write("Le caf\u00e9 est ferm\u00e9. Press one to hear it.\n".encode("latin-1"))
        os.mkfifo(os.path.join(cls.writing, "notes", "fifo.txt"))
        with open(os.path.join(cls.work, "outside.txt"), "w") as f:
            f.write("Never read.\n")
        os.symlink(os.path.join(cls.work, "outside.txt"), os.path.join(cls.writing, "out.txt"))
        # A few megabytes of sentences, to take the learning long enough to be killed mid-way.
        words = dictionary_words()
        rng = random.Random(5)
        cls.big = os.path.join(cls.work, "big")
        os.makedirs(cls.big)
        with open(os.path.join(cls.big, "huge.txt"), "w") as f:
            for _ in range(400_000):
                f.write(" ".join(rng.choice(words) for _ in range(rng.randint(3, 10))) + ".\n")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def learn(self, *paths):
        done = subprocess.run([SERVER, "--learn-text", *paths, "--profile", self.profile], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=300, env=self.env)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stderr.splitlines()

    def notes(self):
        with open(os.path.join(self.language, "language.txt")) as f:
            return f.read()

    def test_1_learns_the_writing_and_tells_each_file_it_skips(self):
        lines = self.learn(self.writing)
        notes = os.path.join(self.writing, "notes")
        for expected in [f"{self.writing}/empty.txt: empty, skipped",
                         f"{notes}/binary.txt: a binary file, not text, skipped",
                         f"{notes}/latin1.txt: not UTF-8 (2 bytes): the words holding them were left out",
                         f"{notes}/fifo.txt: a FIFO, not a regular file, skipped",
                         f"{self.writing}/out.txt: a link leading out of the folders given, skipped"]:
            self.assertEqual(sum(line == "dictate-server: " + expected for line in lines), 1, "\n".join(lines))
        self.assertTrue(any(re.match(r"dictate-server: perplexity of the held-back text: [\d.]+ with the general "
                                     r"model alone, [\d.]+ mixed with the learnt one at weight 0\.\d\d", line)
                            for line in lines), "\n".join(lines))
        self.assertIn(f"dictate-server: kept the learnt language in {self.language} (the list of skipped words "
                      f"is in {self.language}/unknown-words.txt); the server uses it from its next start", lines)
        self.assertTrue(os.path.islink(self.language))
        # Words the dictionary lacks are given the sounds their letters suggest, and listed for the server.
        with open(os.path.join(self.language, "words.dict")) as f:
            sounded = dict(line.split(" ", 1) for line in f.read().splitlines())
        self.assertLessEqual({"zorblat", "quintavex"}, set(sounded), sounded)
        self.assertIn(f"dictate-server: learnt {len(sounded)} words not in the dictionary with the sounds their "
                      f"letters suggest (listed in {self.language}/words.dict)", lines)

    def test_2_a_run_killed_mid_way_leaves_the_language_learnt_before(self):
        before = self.notes()
        for step in ("learning: writing the model", "learning: judging it on the held-back sentences"):
            with self.subTest(killed_after=step):
                process = subprocess.Popen([SERVER, "--learn-text", self.big, "--profile", self.profile],
                                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.PIPE, text=True, env=self.env)
                seen = []
                try:
                    for line in process.stderr:
                        seen.append(line)
                        if step in line:
                            process.send_signal(signal.SIGKILL)
                            break
                finally:
                    process.kill()
                    process.wait()
                    process.stderr.close()
                self.assertEqual(process.returncode, -signal.SIGKILL, "".join(seen))
                self.assertEqual(self.notes(), before)
        # The next run finds the lock free, clears what the killed ones left and learns.
        lines = self.learn(self.big, self.writing)
        self.assertTrue(any("kept the learnt language" in line for line in lines), "\n".join(lines))
        self.assertNotEqual(self.notes(), before)
        self.assertFalse(os.path.exists(self.language + ".work"))
        versions = [name for name in os.listdir(self.profile) if name.startswith("language.v")]
        self.assertLessEqual(len(versions), 2, versions)

    def test_3_a_server_started_on_the_profile_uses_its_voice_and_its_language(self):
        # A voice profile of the stock model's own files: enough for the server to take it for one.
        voice = os.path.join(self.profile, "voice")
        os.makedirs(os.path.join(voice, "en-us", "en-us"))
        stock = os.path.join(MODEL_DIR, "en-us")
        for name in os.listdir(os.path.join(stock, "en-us")):
            os.symlink(os.path.join(stock, "en-us", name), os.path.join(voice, "en-us", "en-us", name))
        for name in ("en-us.lm.bin", "cmudict-en-us.dict"):
            os.symlink(os.path.join(stock, name), os.path.join(voice, "en-us", name))
        take = os.path.join(self.work, "take.wav")
        subprocess.run(["sox", os.path.join(TEST_DATA, "cards", "001.wav"), "-r", "48000", take], check=True)
        with open(take, "rb") as f:
            speech = f.read()
        server_process.SERVER = SERVER
        with Server("--port", "0", "--profile", self.profile, env=self.env) as server:
            status, body = upload(server, speech)
        self.assertEqual(status, 200, body)
        self.assertTrue(body["text"], body)
        self.assertIn(f"dictate-server: decoding with the voice profile in {voice} (--no-profile to decode without)",
                      server.lines)
        with open(os.path.join(self.language, "words.dict")) as f:
            sounded = len(f.read().splitlines())
        self.assertTrue(any(re.fullmatch(f"dictate-server: searching with the language learnt in {re.escape(self.language)} "
                                         rf"\(weight 0\.\d\d, {sounded} words of its own\)", line)
                            for line in server.lines), "\n".join(server.lines))


if __name__ == "__main__":
    SERVER, MODEL_DIR, TEST_DATA = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=[sys.argv[0], "-v"])
