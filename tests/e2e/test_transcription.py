"""Every take transcribed: the built dictate, the virtual microphone and a scripted transcription server on
port 4999 (in a private network when the tests run as root)."""

import json
import os
import sys
import unittest

from support.scripted_server import ScriptedServer, Reply, text_reply
from support.driver import DictateCase, finish, press
from support.harness import PROMPT, private_network, wait_until

SERVER = "the transcription server at localhost:4999 "


class Transcription(DictateCase):
    def transcript(self, name):
        with open(os.path.join(self.scratch.transcript_dir, name), "rb") as f:
            return f.read()

    def test_two_takes_are_shown_and_saved_under_their_timestamps(self):
        with ScriptedServer([text_reply("Hello world."), text_reply("Second take.")]) as server:
            proc = self.start()
            self.take(proc, lambda: len(self.scratch.transcripts()) == 1)
            self.take(proc, lambda: len(self.scratch.transcripts()) == 2)
            server.default = Reply(hang_up=True)  # the take that end of input closes
            status, out, err = finish(proc)
        self.assertEqual(status, 0, err)

        wavs, texts = self.scratch.wavs(), self.scratch.transcripts()
        self.assertEqual(len(wavs), 3)
        self.assertEqual(texts, [w.replace("_output.wav", "_transcription.txt") for w in wavs[:2]])
        self.assertEqual(out, PROMPT + b"output_path: C:/Whisper/" + wavs[0].encode() + b"\nHello world.\n" +
                         PROMPT + b"output_path: C:/Whisper/" + wavs[1].encode() + b"\nSecond take.\n" +
                         PROMPT + b"output_path: C:/Whisper/" + wavs[2].encode() + b"\n")
        self.assertEqual(self.transcript(texts[0]), b"Hello world.\n")
        self.assertEqual(self.transcript(texts[1]), b"Second take.\n")

        self.assertEqual(len(server.requests), 3)
        # A server that does not offer streamed takes is asked once a take, and gets the finished file.
        self.assertEqual(server.health_checks, 3)
        for request, wav in zip(server.requests, wavs):
            self.assertTrue(request.request_line.startswith("POST /transcribe "), request.request_line)
            self.assertFalse(request.chunked)
            self.assertEqual(int(request.headers["content-length"]), len(request.body))
            parts = request.parts()
            self.assertEqual(len(parts), 1)
            headers, content = parts[0]
            self.assertIn('name="audio"', headers["content-disposition"])
            self.assertIn(f'filename="{wav}"', headers["content-disposition"])
            with open(os.path.join(self.scratch.wav_dir, wav), "rb") as f:
                self.assertEqual(content, f.read())

    def test_text_is_kept_byte_for_byte(self):
        text = "first line\nzweite Zeile: é ü ß\n日本語 ✓"
        with ScriptedServer([text_reply(text), text_reply("")]) as server:
            proc = self.start()
            self.take(proc, lambda: len(self.scratch.transcripts()) == 1)
            server.default = Reply(hang_up=True)
            press(proc)
            self.assertTrue(wait_until(lambda: len(self.scratch.transcripts()) == 2, timeout=20))
            status, out, _ = finish(proc)
        self.assertEqual(status, 0)
        texts = self.scratch.transcripts()
        self.assertEqual(self.transcript(texts[0]), text.encode() + b"\n")
        # On the console a line end in the text is a line end, as in the file.
        self.assertIn(b"\n" + text.encode() + b"\n" + PROMPT, out)
        # An empty text is an empty line and a file holding just the line end.
        self.assertEqual(self.transcript(texts[1]), b"\n")
        self.assertIn(b"_output.wav\n\n" + PROMPT, out)

    def test_unusable_replies_keep_the_program_going(self):
        # (the server's reply, what the one line about it says). An error status is never the text, whatever
        # its body holds.
        unusable = [
            (Reply(b""), "parse_error.101"),
            (Reply(b"<html><body>Internal Server Error</body></html>", status=500, content_type="text/html"),
             SERVER + "answered 500 Internal Server Error: <html><body>Internal Server Error</body></html>;"),
            (Reply(json.dumps({"text": "Internal failure, model crashed"}), status=500),
             SERVER + 'answered 500 Internal Server Error: {"text": "Internal failure, model crashed"};'),
            (Reply(json.dumps({"text": "not found"}), status=404), SERVER + "answered 404 Not Found: "),
            (Reply(json.dumps({"error": "upload of 96044 bytes is over the limit", "text": None}), status=413),
             SERVER + "answered 413 Content Too Large: upload of 96044 bytes is over the limit;"),
            (Reply(b"[1]"), "type_error.305"),
            (Reply(b"{}"), "type_error.302"),
            (Reply(b'{"text": 3}'), "type_error.302"),
            (Reply(b'{"text": "this reply is cut short somewhere"}', cut=True),
             SERVER + "answered 200 OK but closed the connection after 22 of 45 bytes of its reply"),
        ]
        proc = self.start()
        # No server at all for the first take. Its recorder stays open while it is sent, so the server may
        # start only once the next take's journal shows that the first one's upload is over.
        self.take(proc, lambda: len(self.scratch.wavs()) == 1 and len(self.scratch.journals()) == 1)
        with ScriptedServer([r for r, _ in unusable] + [text_reply("back to normal")]) as server:
            for n in range(len(unusable)):
                self.take(proc, lambda: server.count() == n + 1)
            self.take(proc, lambda: len(self.scratch.transcripts()) == 1)
            server.default = Reply(hang_up=True)
            status, out, err = finish(proc)
        self.assertEqual(status, 0, err)

        wavs = self.scratch.wavs()
        self.assertEqual(len(wavs), len(unusable) + 3)
        self.assertEqual(out.count(b"back to normal\n"), 1)
        # The text is saved under the name of the take it belongs to: the path announced just before it.
        shown = out.decode().split("back to normal\n")[0]
        take = shown.rsplit("output_path: ", 1)[1].splitlines()[0]
        self.assertEqual(self.scratch.transcripts(),
                         [os.path.basename(take).replace("_output.wav", "_transcription.txt")])
        lines = [l for l in err.decode().splitlines() if l.startswith("dictate: could not get the text")]
        # One line per unusable take, each naming where its recording is kept.
        self.assertEqual(len(lines), len(unusable) + 2, err.decode()[-3000:])
        # Every take but the good one; the last is the take that end of input closed, which got no reply.
        for line, wav in zip(lines, wavs[:-2] + wavs[-1:]):
            self.assertTrue(line.endswith("; the recording is kept at C:/Whisper/" + wav), line)
        self.assertIn("connection refused: no transcription server is running on localhost:4999, or it is busy "
                      "with as many clients as it serves; ", lines[0])
        for (_, expected), line in zip(unusable, lines[1:]):
            self.assertIn(expected, line)
        self.assertRegex(lines[-1], r"closed the connection after (\d+) of \1 bytes of the upload, without answering")
        # Nothing for those takes on standard output but the dialogue.
        self.assertEqual(out.count(b"\n"), len(wavs) + 1)

    def test_a_proxy_in_the_environment_is_not_used(self):
        # Port 9 on this machine has nothing behind it: an upload sent there would be lost.
        proxy = "http://127.0.0.1:9"
        env = dict(self.mic.env, http_proxy=proxy, HTTP_PROXY=proxy, all_proxy=proxy, ALL_PROXY=proxy)
        with ScriptedServer([text_reply("came straight here")], default=Reply(hang_up=True)) as server:
            proc = self.start(env)
            self.take(proc, lambda: len(self.scratch.transcripts()) == 1)
            status, out, err = finish(proc)
            self.assertEqual(server.count(), 2)
        self.assertEqual(status, 0, err)
        self.assertIn(b"\ncame straight here\n", out)

    def test_control_characters_are_escaped_on_the_console_and_kept_in_the_file(self):
        text = "\x1b[2J\x1b[31mred\rover\ttab\x7f\u009b"
        # What else a server sends reaches the terminal too: the trace shows its reason phrase and header
        # lines, and an error line the start of its body, here with raw 8-bit controls (CSI, OSC).
        hostile = dict(reason=b"OK\x1b]0;title\x07", headers=[b"X-Colour: \x1b[41m\x9b41m"])
        with ScriptedServer([Reply(json.dumps({"text": text}), **hostile),
                             Reply(b"\x9b2J\x9d0;title\x07 failed", status=500, **hostile)],
                            default=Reply(hang_up=True)) as server:
            proc = self.start()
            self.take(proc, lambda: len(self.scratch.transcripts()) == 1)
            self.take(proc, lambda: server.count() == 2)
            status, out, err = finish(proc)
        self.assertEqual(status, 0, err)
        self.assertIn(b"\n\\x1b[2J\\x1b[31mred\\x0dover\ttab\\x7f\\xc2\\x9b\n", out)
        for control in b"\x1b\r\x7f\x07\x9b\x9d":
            self.assertNotIn(bytes([control]), out)
            self.assertNotIn(bytes([control]), err.replace(b"\r\n", b"\n"))
        self.assertNotIn("\u009b".encode(), out)
        self.assertIn(b"< HTTP/1.1 200 OK\\x1b]0;title\\x07\n", err)
        self.assertIn(b"< X-Colour: \\x1b[41m\\x9b41m\n", err)
        self.assertIn(b"answered 500 Internal Server Error: \\x9b2J\\x9d0;title\\x07 failed;", err)
        self.assertEqual(self.transcript(self.scratch.transcripts()[0]), text.encode() + b"\n")

    def test_missing_transcript_folder_still_shows_the_text(self):
        os.rmdir(self.scratch.transcript_dir)
        with ScriptedServer([text_reply("shown anyway")]) as server:
            proc = self.start()
            self.take(proc, lambda: server.count() == 1)
            server.default = Reply(hang_up=True)
            status, out, err = finish(proc)
        self.assertEqual(status, 0)
        self.assertIn(b"\nshown anyway\n", out)
        self.assertRegex(err.decode(), r"dictate: could not save the text to D:/Whisper/\S+_transcription\.txt: "
                                       r"No such file or directory")

    def test_end_of_input_transcribes_the_last_take_then_exits_zero(self):
        with ScriptedServer([text_reply("the last words")]) as server:
            proc = self.start()
            status, out, err = finish(proc)
            self.assertEqual(server.count(), 1)
        self.assertEqual(status, 0, err)
        self.assertTrue(out.endswith(b"\nthe last words\n"))
        self.assertEqual(len(self.scratch.transcripts()), 1)


if __name__ == "__main__":
    private_network(sys.argv)
    unittest.main()
