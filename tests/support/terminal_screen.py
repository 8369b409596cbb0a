"""What a terminal would show for the bytes a program wrote to it: enough of a VT100 to read back a console
that draws with cursor moves (Wine's does, a character at a time), so a test can compare the text on the
screen with what the program meant to show. Knows printable UTF-8 text, CR, LF, the CSI sequences that
move the cursor or erase a line, and the cursor's save (ESC 7), restore (ESC 8) and move up (ESC M) that the
status line under the prompt passes through; every other sequence (colours, cursor visibility) changes
nothing on a screen of plain characters and is skipped."""

import re

_ESCAPE = re.compile(r"\x1b(?:\[([0-9;?]*)([@-~])|([78M]))")


class TerminalScreen:
    def __init__(self):
        self.rows = [[]]
        self.row = self.column = 0
        self.saved = (0, 0)

    def feed(self, data):
        """Draws `data` (bytes as read from the terminal, whole UTF-8 sequences) on the screen."""
        text = data.decode("utf-8", errors="replace")
        position = 0
        for match in _ESCAPE.finditer(text):
            self._draw(text[position:match.start()])
            if match.group(3):
                self._escape(match.group(3))
            else:
                self._control(match.group(1), match.group(2))
            position = match.end()
        self._draw(text[position:])

    def lines(self):
        """The screen's lines with their trailing blanks removed, trailing empty lines dropped."""
        shown = ["".join(row).rstrip() for row in self.rows]
        while shown and not shown[-1]:
            shown.pop()
        return shown

    def _line(self):
        while len(self.rows) <= self.row:
            self.rows.append([])
        line = self.rows[self.row]
        line.extend(" " * (self.column - len(line)))
        return line

    def _draw(self, text):
        for char in text:
            if char == "\r":
                self.column = 0
            elif char == "\n":
                self.row += 1
            elif char >= " ":
                line = self._line()
                line[self.column:self.column + 1] = [char]
                self.column += 1

    def _escape(self, final):
        if final == "7":
            self.saved = (self.row, self.column)
        elif final == "8":
            self.row, self.column = self.saved
        elif self.row > 0:  # "M", up a row
            self.row -= 1
        else:  # up from the top row scrolls the screen down
            self.rows.insert(0, [])

    def _control(self, parameters, final):
        numbers = [int(n) for n in parameters.lstrip("?").split(";") if n.isdigit()]
        if final == "A":
            self.row = max(0, self.row - (numbers[0] if numbers else 1))
        elif final == "B":
            self.row += numbers[0] if numbers else 1
        elif final == "C":
            self.column += numbers[0] if numbers else 1
        elif final == "D":
            self.column = max(0, self.column - (numbers[0] if numbers else 1))
        elif final in "Hf":
            self.row, self.column = [(numbers[i] if len(numbers) > i else 1) - 1 for i in (0, 1)]
        elif final == "K":
            del self._line()[self.column:]  # to the end of the line, the only kind Wine sends
