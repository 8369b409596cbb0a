"""dictate on a pseudo-terminal, as a person at a console runs it: standard input, output and error are all
the terminal, which echoes keys, and what the program writes is rendered on a screen (pyte) that a test reads
row by row. Needs Debian's python3-pexpect and python3-pyte."""

import re
import time

import pexpect
import pyte

from support.harness import PROMPT, binary

PROMPT_TEXT = PROMPT.decode()
STATUS = re.compile(r"^rec \d+:\d\d \[")


class Terminal:
    def __init__(self, scratch, env, args=(), columns=200, rows=60):
        self.screen = pyte.Screen(columns, rows)
        self._stream = pyte.ByteStream(self.screen)
        self.raw = bytearray()  # every byte the program wrote, in order
        self.child = pexpect.spawn(binary("dictate"), list(args), cwd=scratch.path, env=env,
                                   dimensions=(rows, columns))
        self.status = None

    def _pump(self, timeout=0.05):
        """Renders what the program wrote since the last look; False once it has closed the terminal."""
        try:
            data = self.child.read_nonblocking(1 << 16, timeout=timeout)
        except pexpect.TIMEOUT:
            return True
        except pexpect.EOF:
            return False
        self.raw += data
        self._stream.feed(data)
        return True

    def rows(self):
        """The screen's rows, trailing blanks and blank rows at the bottom left out."""
        rows = [r.rstrip() for r in self.screen.display]
        while rows and not rows[-1]:
            rows.pop()
        return rows

    def live_words(self):
        """The row under the status line under the last prompt, where a take's live words show, or None."""
        rows = self.rows()
        prompts = [i for i, row in enumerate(rows) if row.startswith(PROMPT_TEXT)]
        if not prompts or len(rows) != prompts[-1] + 3 or not STATUS.match(rows[-2]):
            return None
        return rows[-1]

    def wait_for(self, predicate, timeout=20.0, what="the expected screen"):
        """Renders output until predicate() holds; returns what it returned."""
        deadline = time.monotonic() + timeout
        while True:
            found = predicate()
            if found:
                return found
            if time.monotonic() > deadline or not self._pump():
                if (found := predicate()):
                    return found
                raise AssertionError(f"no {what} on the screen:\n" + "\n".join(self.rows()))

    def resize(self, columns, rows=None):
        """The terminal made narrower or wider, as a person drags its window: the program gets SIGWINCH. The
        screen keeps what it shows, cut at the new right edge, as many terminals do."""
        rows = rows or self.screen.lines
        self._pump()  # what was written at the old size is rendered at the old size
        self.child.setwinsize(rows, columns)
        self.screen.resize(rows, columns)

    def type(self, keys):
        self.child.send(keys)

    def end_input(self):
        """Ctrl-D at the start of a line."""
        self.child.sendeof()

    def wait(self, timeout=30.0):
        """Renders the rest of the output until the program ends; its exit status (128 + n for signal n)."""
        deadline = time.monotonic() + timeout
        while self._pump():
            if time.monotonic() > deadline:
                raise AssertionError("dictate did not end:\n" + "\n".join(self.rows()))
        self.child.close()
        return self.child.exitstatus if self.child.signalstatus is None else 128 + self.child.signalstatus

    def close(self):
        if self.child.isalive():
            self.child.terminate(force=True)
        self.child.close()
