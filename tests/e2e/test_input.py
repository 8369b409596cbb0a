"""What dictate makes of its standard input: Enters beyond the one that ends a take make no empty takes, a
closed standard input is end of input, and on a terminal lines typed while a take is sent are dropped
before the next prompt, while a pipe keeps its meaning."""

import io
import os
import subprocess
import sys
import time
import unittest

import pexpect

from support.driver import Dictate, wait_for_sound
from support.harness import PROMPT, MicrophoneCase, binary, private_network, wait_until
from support.scripted_server import Reply, ScriptedServer, text_reply

IGNORED = "dictate: ignored Enter: no sound had been recorded yet; the take goes on"


class Input(MicrophoneCase):
    def start(self):
        session = Dictate(self.scratch.path, self.mic.env)
        self.addCleanup(session.kill)
        session.wait_for(lambda: session.prompts() == 1, what="the first prompt")
        self.mic.wait_for_recorder()
        return session

    def assertNoEmptyTake(self):
        for name in self.scratch.wavs():
            self.assertGreater(os.path.getsize(os.path.join(self.scratch.wav_dir, name)), 44, name)

    def test_extra_enters_through_a_pipe_make_no_empty_takes(self):
        with ScriptedServer([], default=text_reply("words")) as server:
            session = self.start()
            wait_for_sound(self.scratch, session.proc)
            session.type(b"\n" * 50)
            session.wait_for(lambda: IGNORED in session.messages(), what="the line about the ignored Enters")
            status = session.finish()
            uploads = server.count()
        self.assertEqual(status, 0, session.err()[-3000:])
        self.assertNoEmptyTake()
        # The first Enter ends the first take; the others reach the next before its first sound (rarely a
        # take after it, should sound arrive between two of them).
        takes = len(self.scratch.wavs())
        self.assertIn(takes, (2, 3))
        self.assertEqual(uploads, takes)
        self.assertEqual(session.messages().count(IGNORED), takes - 1, session.messages())

    def test_a_huge_paste_ends_its_take_at_once(self):
        with ScriptedServer([], default=text_reply("words")):
            session = self.start()
            wait_for_sound(self.scratch, session.proc)
            typed = time.monotonic()
            session.type(b"x" * (5 << 20) + b"\n")
            session.wait_for(lambda: session.paths(), what="the take to be written")
            # Read a byte a wait, the paste held the take open for 16.7 s; in blocks it takes milliseconds.
            self.assertLess(time.monotonic() - typed, 5.0)
            self.assertEqual(session.finish(), 0)
        self.assertEqual(len(self.scratch.wavs()), 2)

    def test_a_closed_standard_input_is_end_of_input(self):
        # Before, descriptor 0 was taken by the program's own interrupt pipe and the take recorded forever.
        done = subprocess.run(["sh", "-c", 'exec "$0" <&-', binary("dictate")], cwd=self.scratch.path,
                              env=self.mic.env, capture_output=True, timeout=30)
        self.assertEqual(done.returncode, 0, done.stderr[-3000:])
        self.assertTrue(done.stdout.startswith(PROMPT), done.stdout)
        self.assertNoEmptyTake()
        self.assertEqual(self.scratch.journals(), [])

    def test_lines_typed_on_a_terminal_while_a_take_is_sent_are_dropped(self):
        with ScriptedServer([Reply('{"text": "first take"}', delay=2.0)],
                            default=text_reply("closing take")) as server:
            term = pexpect.spawn(binary("dictate"), cwd=self.scratch.path, env=self.mic.env, timeout=30)
            self.addCleanup(lambda: term.isalive() and term.terminate(force=True))
            term.logfile_read = screen = io.BytesIO()
            term.expect_exact(PROMPT)
            self.mic.wait_for_recorder()
            self.assertTrue(wait_until(lambda: self.scratch.recorded_seconds() > 0, timeout=20))
            term.send(b"\r")
            self.assertTrue(wait_until(lambda: server.count() == 1, timeout=20), "the first upload")
            # Typed while the first take is transcribed: a line, and Enter pressed twice.
            term.send(b"more words\r\r")
            term.expect_exact(b"first take")
            term.expect_exact(PROMPT)
            # The next take goes on until Ctrl-D, which ends it once it holds half a second of sound.
            self.assertTrue(wait_until(lambda: self.scratch.recorded_seconds() >= 0.5, timeout=20))
            term.sendeof()
            term.expect_exact(b"closing take")
            term.expect(pexpect.EOF)
            term.close()
        self.assertEqual(term.exitstatus, 0, screen.getvalue()[-3000:])
        self.assertNotIn(b"ignored Enter", screen.getvalue())
        self.assertEqual(len(self.scratch.wavs()), 2)
        self.assertNoEmptyTake()


if __name__ == "__main__":
    private_network(sys.argv)
    unittest.main()
