"""What a person at a terminal sees while a take records: the status line under the prompt, with the time
and the input level, through a pseudo-terminal rendered as a screen; and that it never reaches a pipe."""

import os
import re
import subprocess
import sys
import threading
import unittest

from support.driver import finish, start_dictate
from support.harness import PROMPT, MicrophoneCase, private_network, wait_until
from support.scripted_server import ScriptedServer, text_reply
from support.terminal import Terminal

STATUS = re.compile(r"^rec (\d+):(\d\d) \[([#.]{20})\] +(<-60|-?\d+) dB")
# The HTTP library's trace (its notes, the request's header lines and the blank line after them) and the
# program's own messages share the screen with the dialogue.
NOT_DIALOGUE = re.compile(r"^([*<>{}]( |$)|dictate: |(Host|Accept|Content-Length|Content-Type): |$)")
PROMPT_TEXT = PROMPT.decode()


class StatusLine(MicrophoneCase):
    def setUp(self):
        super().setUp()
        self.tone = os.path.join(self.scratch.path, "tone.wav")
        subprocess.run(["sox", "-n", "-r", "48000", "-c", "1", "-b", "16", self.tone, "synth", "1.5", "sine",
                        "440", "vol", "0.5"], check=True)

    def play_tone(self):
        player = threading.Thread(target=self.mic.play, args=(self.tone,))
        player.start()
        self.addCleanup(player.join)
        return player

    def terminal(self, *args):
        term = Terminal(self.scratch, self.mic.env, args)
        self.addCleanup(term.close)
        return term

    @staticmethod
    def status(term):
        """(seconds, filled cells) of the status line on the last row under the last prompt, or None. A
        message written mid-take (a loaded machine can hold dictate up long enough to be told) stands
        between them, with the status line back under it."""
        rows = term.rows()
        prompts = [i for i, row in enumerate(rows) if row.startswith(PROMPT_TEXT)]
        if not prompts or prompts[-1] == len(rows) - 1 or not (m := STATUS.match(rows[-1])):
            return None
        return int(m[1]) * 60 + int(m[2]), m[3].count("#")

    def test_time_and_level_show_while_recording_and_only_the_dialogue_stays(self):
        with ScriptedServer([text_reply("first take"), text_reply("second take")]):
            term = self.terminal()
            seconds, cells = term.wait_for(lambda: self.status(term), what="status line under the prompt")
            self.assertEqual(cells, 0)  # the microphone hears silence so far
            term.wait_for(lambda: (s := self.status(term)) and s[0] >= seconds + 2, what="time advancing")
            player = self.play_tone()  # -6 dBFS: 18 of 20 cells
            term.wait_for(lambda: (s := self.status(term)) and s[1] >= 15, what="level rising with the tone")
            player.join()
            term.wait_for(lambda: (s := self.status(term)) and s[1] == 0, what="level falling after the tone")
            term.type("\r")  # Enter, echoed by the terminal
            term.wait_for(lambda: "first take" in term.rows(), what="first take's text")

            term.wait_for(lambda: self.status(term), what="status line of the second take")
            self.play_tone()
            term.wait_for(lambda: (s := self.status(term)) and s[1] >= 15, what="level of the second take")
            term.end_input()  # Ctrl-D: nothing echoed, the dialogue goes on after the prompt
            self.assertEqual(term.wait(), 0)

        first, second = self.scratch.wavs()
        # Nothing of the status line is left, not even behind a shorter line written over it.
        self.assertNotIn(" dB", "\n".join(term.rows()))
        self.assertEqual([r for r in term.rows() if not NOT_DIALOGUE.match(r)],
                         [PROMPT_TEXT, "output_path: C:/Whisper/" + first, "first take",
                          PROMPT_TEXT + "output_path: C:/Whisper/" + second, "second take"])

    def test_a_terminal_narrowed_mid_take_keeps_one_status_row(self):
        term = self.terminal()
        # Silence for three seconds adds "no sound for 3 s": the line at its widest, 57 columns.
        term.wait_for(lambda: "no sound for" in "\n".join(term.rows()), what="the widest status line")
        term.resize(52)
        seconds, _ = term.wait_for(lambda: self.status(term), what="status line after narrowing")
        # Drawn several times at the new width, it stays one row under the prompt, cut to fit.
        term.wait_for(lambda: (s := self.status(term)) and s[0] >= seconds + 2, what="time advancing, one row")
        self.assertLess(len(term.rows()[-1]), 52)
        # Too narrow for the line: it makes way, and comes back when there is room again.
        term.resize(45)
        term.wait_for(lambda: term.rows()[-1].startswith(PROMPT_TEXT[:45]), what="the status line gone")
        term.resize(120)
        term.wait_for(lambda: self.status(term), what="status line back")
        term.end_input()
        self.assertEqual(term.wait(), 0)
        self.assertNotIn(" dB", "\n".join(term.rows()))
        self.assertNotIn("no sound", "\n".join(term.rows()))

    def test_quiet_and_pipes_get_no_status_line(self):
        term = self.terminal("--quiet")
        term.wait_for(lambda: PROMPT_TEXT in term.rows(), what="prompt")
        self.play_tone().join()
        term.end_input()
        self.assertEqual(term.wait(), 0)
        self.assertNotIn(b"\x1b", term.raw)

        proc = start_dictate(self.scratch, self.mic.env)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        self.mic.wait_for_recorder()
        self.play_tone().join()
        self.assertTrue(wait_until(lambda: self.scratch.recorded_seconds() > 1.0))
        status, _, err = finish(proc)
        self.assertEqual(status, 0)
        self.assertNotIn(b"\x1b", err)
        self.assertNotIn(b"rec 0:", err)


if __name__ == "__main__":
    private_network(sys.argv)
    unittest.main()
