"""Live words: a take streamed to a scripted server that offers them (on port 4999, in a private network when
the tests run as root) shows the server's words so far under the status line, on a pseudo-terminal rendered
as a screen. The take's text is still the reply's; the words never reach standard output, a pipe, or the
terminal as control sequences, and whatever the events request meets, the take goes on unharmed."""

import re
import sys
import unittest

from support.driver import DictateCase, finish
from support.harness import PROMPT, MicrophoneCase, next_second, private_network, wait_until
from support.scripted_server import Reply, ScriptedServer, text_reply, words_event
from support.terminal import Terminal

TAKE_ID = re.compile(r"^[0-9a-f]{32}$")
PROMPT_TEXT = PROMPT.decode()
# The HTTP library's trace and the program's own lines share the screen with the dialogue.
NOT_DIALOGUE = re.compile(r"^([*<>{}]( |$)|dictate: |$)")


def events_of(server, count):
    """The `count`th GET of live words the server has seen, once it has come."""
    assert wait_until(lambda: len(server.events) >= count, timeout=20), "no request for live words"
    return server.events[count - 1]


class LiveWordsOnTheScreen(MicrophoneCase):
    def terminal(self, *args, columns=200):
        # Rows enough for five takes with the HTTP library's trace, so that nothing scrolls off.
        term = Terminal(self.scratch, self.mic.env, args, columns=columns, rows=150)
        self.addCleanup(term.close)
        return term

    def show(self, term, events, data, row):
        events.send(data)
        term.wait_for(lambda: term.live_words() == row, what=f"live words {row!r}")

    def enter(self, term, text):
        next_second()  # the next take gets a name of its own, so its streamed reply is its text
        term.type("\r")
        term.wait_for(lambda: text in term.rows(), what=f"the take's text {text!r}")

    def dialogue(self, term):
        return [r for r in term.rows() if not NOT_DIALOGUE.match(r)]

    def test_words_show_under_the_status_line_while_the_take_records_and_go_with_it(self):
        long_text = "first phrase " + " ".join(f"word{i}" for i in range(60))
        with ScriptedServer([text_reply("the reply's own text"), text_reply("second take")],
                            default=Reply(hang_up=True), streaming=True, live_words=True) as server:
            term = self.terminal()
            events = events_of(server, 1)
            self.assertRegex(events.take_id, TAKE_ID)
            self.assertEqual(server.streams[0].headers.get("x-take-id"), events.take_id)
            self.show(term, events, words_event("first phrase"), "first phrase")
            # The whole text so far, after a comment: the row shows its end, cut at a word.
            events.send(b": still here\n\n" + words_event(long_text))
            row = term.wait_for(lambda: (r := term.live_words()) not in (None, "first phrase") and r,
                                what="the long text's end")
            self.assertTrue(long_text.endswith(" " + row), row)
            self.assertLess(len(row), 200)
            self.assertGreater(len(row), 180)
            self.enter(term, "the reply's own text")
            # The take is over: its events request was closed by the client.
            self.assertTrue(wait_until(lambda: events.closed_by_client, timeout=10))
            # The next take asks for its own words, under a new id.
            second = events_of(server, 2)
            self.assertNotEqual(second.take_id, events.take_id)
            # Words of a take ended by Ctrl-D, which the terminal does not echo, go as well: long enough that
            # lines written over their row would not hide them.
            self.show(term, second, words_event("second " + "phrase " * 25), "second " + "phrase " * 24 + "phrase")
            term.end_input()
            self.assertEqual(term.wait(), 0)
        # The trace names the header but not the id, which would let whoever reads a log read the words.
        self.assertIn(b"> X-Take-Id: (left out)\r\n", term.raw)
        self.assertNotIn(events.take_id.encode(), term.raw)
        self.assertNotIn(second.take_id.encode(), term.raw)
        first, second_wav = self.scratch.wavs()
        screen = "\n".join(term.rows())
        self.assertNotIn("phrase", screen)
        self.assertNotIn(" dB", screen)
        self.assertEqual(self.dialogue(term),
                         [PROMPT_TEXT, "output_path: C:/Whisper/" + first, "the reply's own text",
                          PROMPT_TEXT + "output_path: C:/Whisper/" + second_wav, "second take"])

    def test_control_sequences_garbage_a_drop_and_bad_utf8_never_harm_the_take(self):
        script = [text_reply(f"text {i}") for i in range(1, 5)] + [text_reply("last")]
        with ScriptedServer(script, default=Reply(hang_up=True), streaming=True, live_words=True) as server:
            term = self.terminal()
            # Control characters and escape sequences in the text are shown escaped, on one row.
            events = events_of(server, 1)
            self.show(term, events, words_event("clear\x1b[2J title\x1b]0;owned\x07 csi\u009b31m bell\x07 two\nlines\tend"),
                      r"clear\x1b[2J title\x1b]0;owned\x07 csi\xc2\x9b31m bell\x07 two lines end")
            self.enter(term, "text 1")
            # Garbage ends the live words: the client goes, and words sent after it are never shown.
            events = events_of(server, 2)
            events.send(b"event: words\ndata: {not json\n\n" + words_event("never shown"))
            self.assertTrue(wait_until(lambda: events.closed_by_client, timeout=10))
            self.enter(term, "text 2")
            # A dropped events connection: the words shown stay until the take ends.
            events = events_of(server, 3)
            self.show(term, events, words_event("before the drop"), "before the drop")
            events.drop()
            self.enter(term, "text 3")
            # Text that is not UTF-8 is garbage too.
            events = events_of(server, 4)
            events.send(b'event: words\ndata: {"text": "caf\xe9"}\n\n' + words_event("nor this"))
            self.assertTrue(wait_until(lambda: events.closed_by_client, timeout=10))
            self.enter(term, "text 4")
            # Ctrl-C with the events request open: the take is finished and has its text, and the run ends.
            events = events_of(server, 5)
            self.show(term, events, words_event("the last words"), "the last words")
            term.type("\x03")
            self.assertEqual(term.wait(), 130)
            self.assertTrue(events.closed_by_client)
        wavs = self.scratch.wavs()
        self.assertEqual(len(wavs), 5)
        expected = []
        for i, wav in enumerate(wavs[:4], 1):
            expected += [PROMPT_TEXT, "output_path: C:/Whisper/" + wav, f"text {i}"]
        expected += [PROMPT_TEXT + "^Coutput_path: C:/Whisper/" + wavs[4], "last"]  # the terminal echoes Ctrl-C
        self.assertEqual(self.dialogue(term), expected)
        # (Not "caf": the trace's hexadecimal ids and boundaries may hold it.)
        for never in (b"\x1b[2J", b"\x1b]0;", b"\x07", b"\xc2\x9b", b"never shown", b"nor this"):
            self.assertNotIn(never, term.raw)
        self.assertNotIn("before the drop", "\n".join(term.rows()))
        self.assertNotIn("the last words", "\n".join(term.rows()))


class NoLiveWords(DictateCase):
    def test_a_server_without_live_words_quiet_and_pipes_see_no_take_id_and_no_events_request(self):
        # Health without "live_words": exactly the streamed request of before.
        with ScriptedServer([text_reply("plain stream")], default=Reply(hang_up=True), streaming=True) as server:
            term = Terminal(self.scratch, self.mic.env)
            self.addCleanup(term.close)
            term.wait_for(lambda: server.streams, what="the streamed take")
            next_second()
            term.type("\r")
            term.wait_for(lambda: "plain stream" in term.rows(), what="the take's text")
            term.wait_for(lambda: term.rows()[-1].startswith("rec "), what="the next take's status line")
            term.end_input()
            self.assertEqual(term.wait(), 0)
        self.assertEqual(server.events, [])
        self.assertTrue(server.streams)
        self.assertTrue(all("x-take-id" not in s.headers for s in server.streams))

        # A server that offers them, to a run that shows nothing: --quiet on a terminal, or pipes.
        with ScriptedServer([text_reply("quiet words")], default=Reply(hang_up=True), streaming=True,
                            live_words=True) as server:
            next_second()  # each run's first take gets a name of its own, so its streamed reply is its text
            term = Terminal(self.scratch, self.mic.env, ["--quiet"])
            self.addCleanup(term.close)
            term.wait_for(lambda: server.streams, what="the streamed take")
            next_second()
            term.type("\r")
            term.wait_for(lambda: "quiet words" in term.rows(), what="the take's text")
            term.wait_for(lambda: len(server.streams) == 2, what="the next take streaming")
            term.end_input()
            self.assertEqual(term.wait(), 0)
        self.assertEqual(server.events, [])
        self.assertTrue(all("x-take-id" not in s.headers for s in server.streams))

        before = set(self.scratch.wavs())
        with ScriptedServer([text_reply("piped words")], default=Reply(hang_up=True), streaming=True,
                            live_words=True) as server:
            next_second()
            proc = self.start()
            self.assertTrue(wait_until(lambda: server.streams, timeout=20))
            self.take(proc, lambda: len(server.streams) == 2)
            status, out, err = finish(proc)
        self.assertEqual(status, 0, err)
        first, second = sorted(set(self.scratch.wavs()) - before)
        self.assertEqual(out, PROMPT + b"output_path: C:/Whisper/" + first.encode() + b"\npiped words\n" +
                         PROMPT + b"output_path: C:/Whisper/" + second.encode() + b"\n", err)
        self.assertNotIn(b"\x1b", err)
        self.assertEqual(server.events, [])
        self.assertTrue(all("x-take-id" not in s.headers for s in server.streams))


if __name__ == "__main__":
    private_network(sys.argv)
    unittest.main()
