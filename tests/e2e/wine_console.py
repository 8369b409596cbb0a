"""dictate.exe under Wine with a terminal as its console, as a person runs it at a Windows console: its
output is read back as the screen shows it (Wine draws the console with cursor moves), its keys are typed.
Needs DICTATE_BIN (the .exe) and DICTATE_WINE_PREFIX; run by the Windows build's ctest.

Wine's console line editor drops Ctrl-Z and never cuts a read short on Ctrl-C, so end of input is left to
the pipe-based checks (wine_dictate.py)."""

import os
import sys
import time
import unittest

import pexpect

from support.harness import PROMPT, MicrophoneCase, binary, private_network
from support.scripted_server import Reply, ScriptedServer, text_reply
from support.terminal_screen import TerminalScreen
from wine import WinePrefix

STARTUP = 60
SHOWN = "café naïve 日本語 — “quoted” ‘x’ «ok» ¿sí? …"


class WineConsole:
    """dictate.exe running under Wine in a pseudo-terminal of its own, and what its screen shows."""

    def __init__(self, wine, env, cwd):
        env = wine.env(env)
        env["LANG"] = "C.UTF-8"  # the terminal's encoding, which Wine's console writes
        self.screen = TerminalScreen()
        self.proc = pexpect.spawn("wine", [binary("dictate")], env=env, cwd=cwd, dimensions=(60, 400))

    def text(self):
        """The screen's lines, joined with no break where the console wrapped a long one."""
        return "\n".join(self.screen.lines())

    def _read(self):
        """Feeds what arrives within 0.2 s to the screen; False once the terminal has closed."""
        try:
            self.screen.feed(self.proc.read_nonblocking(4096, timeout=0.2))
        except pexpect.TIMEOUT:
            pass
        except pexpect.EOF:
            return False
        return True

    def wait_for(self, predicate, timeout=STARTUP, what="the expected output"):
        deadline = time.monotonic() + timeout
        while not predicate(self.text()):
            if time.monotonic() > deadline:
                raise AssertionError(f"no {what} within {timeout} s; the screen shows:\n{self.text()}")
            if not self._read() and not predicate(self.text()):
                raise AssertionError(f"the program ended before {what}; the screen shows:\n{self.text()}")

    def prompts(self):
        return self.text().count(PROMPT.decode())

    def type(self, keys):
        self.proc.send(keys)

    def exit_status(self, timeout=STARTUP):
        deadline = time.monotonic() + timeout
        while self.proc.isalive():
            if time.monotonic() > deadline:
                raise AssertionError(f"still running after {timeout} s; the screen shows:\n{self.text()}")
            if not self._read():
                time.sleep(0.05)  # the terminal closed as the program ends: wait for its status
        try:  # whatever the terminal still holds
            while True:
                self.screen.feed(self.proc.read_nonblocking(4096, timeout=0.2))
        except (pexpect.TIMEOUT, pexpect.EOF):
            pass
        self.proc.close()
        return self.proc.exitstatus

    def close(self):
        if self.proc.isalive():
            self.proc.close(force=True)


class DictateAtWineConsole(MicrophoneCase):
    def setUp(self):
        super().setUp()
        self.wine = WinePrefix().ensure()
        self.wine.bind(self.scratch)
        self.addCleanup(self.wine.stop)

    def start(self):
        console = WineConsole(self.wine, self.mic.env, self.scratch.path)
        self.addCleanup(console.close)
        console.wait_for(lambda text: PROMPT.decode() in text, what="prompt")
        return console

    def transcripts(self):
        """The saved transcripts' bytes (two takes in one second are named apart by a number, not in order)."""
        contents = []
        for name in self.scratch.transcripts():
            with open(os.path.join(self.scratch.transcript_dir, name), "rb") as f:
                contents.append(f.read())
        return contents

    def test_text_is_shown_as_sent_saved_byte_for_byte_and_ctrl_c_finishes_the_take(self):
        for attempt in range(3):
            with self.subTest(attempt=attempt), ScriptedServer([text_reply(SHOWN), text_reply("a\r\nb")],
                                                                 default=Reply(hang_up=True)) as server:
                for name in self.scratch.transcripts():
                    os.remove(os.path.join(self.scratch.transcript_dir, name))
                console = self.start()
                console.type("\r")
                console.wait_for(lambda text: SHOWN in text.splitlines(), what="the reply's text on a line")
                console.wait_for(lambda _: console.prompts() == 2, what="second prompt")
                console.type("\x03")
                self.assertEqual(console.exit_status(), 130, console.text())
                self.assertEqual(len(server.requests), 2)
                # A server's CR LF stays as it came; only the line end after the text is added.
                self.assertCountEqual(self.transcripts(), [SHOWN.encode() + b"\r\n", b"a\r\nb\r\n"])

    def test_a_refused_connection_names_the_likely_cause(self):
        console = self.start()  # nothing listens on port 4999 of this private network
        console.type("\x03")
        self.assertEqual(console.exit_status(), 130, console.text())
        self.assertIn("connection refused: no transcription server is running on localhost:4999",
                      console.text().replace("\n", ""))

    def test_a_failed_run_whose_window_closes_with_it_waits_for_enter(self):
        # No sound server: recording fails at once. Under Wine the terminal is a console of this program alone.
        no_sound = dict(self.mic.env, PULSE_SERVER="unix:" + os.path.join(self.scratch.path, "no-server"))
        console = WineConsole(self.wine, no_sound, self.scratch.path)
        self.addCleanup(console.close)
        console.wait_for(lambda text: "; press Enter to close this window" in text, what="request for Enter")
        self.assertIn("dictate: audio: ", console.text())
        self.assertTrue(console.proc.isalive())
        console.type("\r")
        self.assertEqual(console.exit_status(), 1, console.text())


if __name__ == "__main__":
    private_network(sys.argv)
    unittest.main()
