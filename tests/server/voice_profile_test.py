"""dictate-server --adapt and --voice, run as a user would: a small adaptation on the engine's test
recordings makes a profile the server then decodes with, and a second run on the same takes, which can't do
better, leaves it alone.

usage: voice_profile_test.py PATH/TO/dictate-server POCKETSPHINX_TEST_DATA_DIR
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from support import server_process
from support.server_process import GO_FORWARD, Server, upload

SERVER = ""
TEST_DATA = ""


def transcripts(folder, name):
    """{recording name: its words} from the engine's "<s> words </s> (name)" transcript file."""
    out = {}
    with open(os.path.join(TEST_DATA, folder, name)) as f:
        for line in f:
            found = re.match(r"\s*<s>(.*)</s>\s*\((\S+)\)", line)
            if found:
                out[found.group(2)] = found.group(1).split()
    return out


class VoiceProfile(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="dictate-voice-test-")
        # The user's own data folder is a private one, empty to begin with.
        cls.env = dict(os.environ, XDG_DATA_HOME=os.path.join(cls.work, "data"))
        cls.pairs = os.path.join(cls.work, "pairs")
        os.makedirs(cls.pairs)
        # Every recording twice over, and the first long one a third time: a minute of speech (as the search
        # hears it: 59 s without the third), the least MAP is tried on; each held-back take's twin is then
        # among the training ones, so the adapted model must read it better than the stock one.
        for folder, name in (("librivox", "transcription"), ("cards", "cards.transcription")):
            for take, words in transcripts(folder, name).items():
                for copy in ("a", "b", "c") if take.endswith("-0870") else ("a", "b"):
                    stem = os.path.join(cls.pairs, f"{take}-{copy}")
                    shutil.copy(os.path.join(TEST_DATA, folder, take + ".wav"), stem + ".wav")
                    with open(stem + ".txt", "w") as f:
                        f.write(" ".join(words).capitalize() + ".\n")
        # Skipped and counted: a word the dictionary lacks. Ignored: the recogniser's own transcript.
        shutil.copy(os.path.join(TEST_DATA, "cards", "001.wav"), os.path.join(cls.pairs, "unknown.wav"))
        with open(os.path.join(cls.pairs, "unknown.txt"), "w") as f:
            f.write("ten of qwzxv\n")
        shutil.copy(os.path.join(TEST_DATA, "cards", "002.wav"), os.path.join(cls.pairs, "take_output.wav"))
        with open(os.path.join(cls.pairs, "take_transcription.txt"), "w") as f:
            f.write("whatever the server heard\n")
        raw = os.path.join(TEST_DATA, "goforward.raw")
        take = os.path.join(cls.work, "take.wav")
        subprocess.run(["sox", "-t", "raw", "-r", "16000", "-e", "signed", "-b", "16", "-c", "1", raw,
                        "-r", "48000", take], check=True)
        with open(take, "rb") as f:
            cls.speech = f.read()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def adapt(self, *args):
        done = subprocess.run([SERVER, "--adapt", self.pairs, *args], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=240, env=self.env)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stderr

    def decode(self, *args):
        server_process.SERVER = SERVER
        with Server("--port", "0", *args, env=self.env) as server:
            status, body = upload(server, self.speech)
            self.assertEqual(status, 200, body)
            return body["text"], "\n".join(server.lines)

    def test_adapts_once_then_keeps_the_profile_a_second_run_cannot_beat(self):
        profile = os.path.join(self.env["XDG_DATA_HOME"], "dictate", "voice")
        text, log = self.decode()
        self.assertEqual(text, GO_FORWARD)
        self.assertNotIn("voice profile", log)

        first = self.adapt()
        self.assertIn("dictate-server: adapting: MAP re-estimation", first)
        self.assertIn("adapted on 19 takes", first)
        self.assertIn("skipped 1 takes with words not in the dictionary: unknown (qwzxv)", first)
        self.assertRegex(first, r"kept the MAP model as the voice profile in .*/dictate/voice: word error")
        with open(os.path.join(profile, "profile.txt")) as f:
            record = f.read()
        self.assertIn("kept: MAP", record)

        # The user's own profile is found without being named, and decodes.
        text, log = self.decode()
        self.assertEqual(text, GO_FORWARD)
        self.assertIn("decoding with the voice profile in " + profile, log)

        second = self.adapt("--voice", profile)
        self.assertIn("word error on the held-back takes: current profile", second)
        self.assertIn("unchanged", second)
        with open(os.path.join(profile, "profile.txt")) as f:
            self.assertEqual(f.read(), record)
        self.assertFalse(os.path.exists(profile + ".work"))

    def test_refuses_a_folder_without_a_profile_and_too_few_takes(self):
        empty = os.path.join(self.work, "empty")
        os.makedirs(empty, exist_ok=True)
        cases = [
            ([SERVER, "--voice", empty], r"cannot use the voice profile .*/empty: it holds no adapted model"),
            ([SERVER, "--adapt", empty, "--voice", os.path.join(self.work, "v")],
             r"cannot adapt the voice profile in .*/v: adaptation needs at least two takes"),
        ]
        for args, message in cases:
            with self.subTest(args[1]):
                done = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                      timeout=60, env=self.env)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertRegex(done.stderr, r"^dictate-server: " + message)


if __name__ == "__main__":
    SERVER, TEST_DATA = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
