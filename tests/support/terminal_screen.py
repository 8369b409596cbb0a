"""What a terminal would show for the bytes a program wrote to it: enough of a VT100 to read back a console
that draws with cursor moves (Wine's does, a character at a time), so a test can compare the text on the
screen with what the program meant to show. Knows printable UTF-8 text, CR, LF, backspace and the CSI
sequences that move the cursor or erase; every other sequence (colours, cursor visibility, titles) changes
nothing on a screen of plain characters and is skipped."""

import re

_CSI = re.compile(r"\x1b\[([0-9;?]*)([@-~])")
_OSC = re.compile(r"\x1b\][^\x07\x1b]*(\x07|\x1b\\)")


class TerminalScreen:
    def __init__(self, columns=200):
        self.columns = columns
        self.rows = [[]]
        self.row = self.column = 0

    def feed(self, data):
        """Draws `data` (bytes as read from the terminal, whole UTF-8 sequences) on the screen."""
        text = _OSC.sub("", data.decode("utf-8", errors="replace"))
        position = 0
        for match in _CSI.finditer(text):
            self._draw(text[position:match.start()])
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
        while len(line) < self.column:
            line.append(" ")
        return line

    def _draw(self, text):
        for char in text:
            if char == "\r":
                self.column = 0
            elif char == "\n":
                self.row += 1
            elif char == "\b":
                self.column = max(0, self.column - 1)
            elif char >= " ":
                line = self._line()
                if self.column < len(line):
                    line[self.column] = char
                else:
                    line.append(char)
                self.column += 1

    def _control(self, parameters, final):
        numbers = [int(n) for n in parameters.lstrip("?").split(";") if n.isdigit()]
        count = numbers[0] if numbers else 1
        if final == "C":
            self.column += count
        elif final == "D":
            self.column = max(0, self.column - count)
        elif final == "A":
            self.row = max(0, self.row - count)
        elif final == "B":
            self.row += count
        elif final == "G":
            self.column = count - 1
        elif final in "Hf":
            self.row = (numbers[0] if numbers else 1) - 1
            self.column = (numbers[1] if len(numbers) > 1 else 1) - 1
        elif final == "K":
            line = self._line()
            mode = numbers[0] if numbers else 0
            if mode == 0:
                del line[self.column:]
            elif mode == 1:
                line[:self.column + 1] = [" "] * min(len(line), self.column + 1)
            else:
                line.clear()
        elif final == "J" and (numbers[0] if numbers else 0) == 2:
            self.rows = [[]]
