"""The whole product as shipped: the virtual microphone hears a person read a sentence, dictate records it,
the bundled dictate-server transcribes it, and the transcript lands in D:/Whisper. At a terminal, the words
of each phrase the server has finished show under the status line while the person still speaks."""

import http.client
import json
import os
import re
import subprocess
import sys
import threading
import unittest

from support.bundled import (SENTENCE_TEXT, dictate_sentence, port_answers, recorded_sentence, start_server,
                             test_data_dir)
from support.harness import PROMPT, MicrophoneCase, Scratch, private_network
from support.server_process import multipart
from support.terminal import Terminal

PROMPT_TEXT = PROMPT.decode()
# Two read phrases, each followed by a second of quiet: the pause after the first is what ends it.
PHRASES = ("sense_and_sensibility_01_austen_64kb-0880", "sense_and_sensibility_01_austen_64kb-0890")
FIRST_PHRASE = "he was not an ill disposed young man"  # its reference transcription
# The HTTP library's trace and the program's own lines share the screen with the dialogue.
NOT_DIALOGUE = re.compile(r"^([*<>{}]( |$)|dictate: |$)")


def words(text):
    return re.sub(r"[^a-z' ]", "", text.lower()).split()


def read_phrases(folder):
    """A 48 kHz WAV, written into `folder`, of PHRASES read one after another with a second of quiet after
    each."""
    pause = os.path.join(folder, "pause.wav")
    subprocess.run(["sox", "-n", "-r", "16000", "-c", "1", "-b", "16", pause, "trim", "0", "1"], check=True)
    sources = []
    for phrase in PHRASES:
        sources += [os.path.join(test_data_dir(), "librivox", phrase + ".wav"), pause]
    path = os.path.join(folder, "phrases.wav")
    subprocess.run(["sox", *sources, "-r", "48000", "-b", "16", path], check=True)
    return path


class BundledServer(unittest.TestCase):
    def test_spoken_sentence_becomes_its_transcript(self):
        scratch = Scratch()
        self.addCleanup(scratch.remove)
        sentence = recorded_sentence(scratch.path)
        self.assertFalse(port_answers(), "port 4999 is taken; stop whatever listens there")
        server = start_server()
        self.assertIsNotNone(server, "dictate-server did not start")
        self.addCleanup(lambda: server.poll() is None and (server.kill(), server.wait()))

        status, out, err = dictate_sentence(scratch, sentence)
        self.assertEqual(status, 0, err.decode()[-2000:])
        self.assertTrue(out.endswith(f"\n{SENTENCE_TEXT}\n".encode()), out)
        texts = scratch.transcripts()
        self.assertEqual(len(texts), 1)
        with open(os.path.join(scratch.transcript_dir, texts[0]), "rb") as f:
            self.assertEqual(f.read(), f"{SENTENCE_TEXT}\n".encode())
        # The take went to the server while it recorded, and its text is that of the finished file.
        self.assertIn(b"\n> Transfer-Encoding: chunked\n", err)
        with open(os.path.join(scratch.wav_dir, scratch.wavs()[0]), "rb") as f:
            body, headers = multipart([("audio", f.read())])
        connection = http.client.HTTPConnection("127.0.0.1", 4999, timeout=120)
        connection.request("POST", "/transcribe", body, headers)
        self.assertEqual(json.loads(connection.getresponse().read())["text"], SENTENCE_TEXT)
        connection.close()

        server.terminate()
        self.assertEqual(server.wait(timeout=10), 0)


class LiveWordsAtATerminal(MicrophoneCase):
    def test_a_finished_phrase_shows_while_the_take_records_and_goes_with_it(self):
        phrases = read_phrases(self.scratch.path)
        self.assertFalse(port_answers(), "port 4999 is taken; stop whatever listens there")
        server = start_server()
        self.assertIsNotNone(server, "dictate-server did not start")
        self.addCleanup(lambda: server.poll() is None and (server.kill(), server.wait()))
        # Rows enough for the take, the next one and the HTTP library's trace, so that nothing scrolls off.
        term = Terminal(self.scratch, self.mic.env, columns=200, rows=120)
        self.addCleanup(term.close)
        playing = threading.Thread(target=self.mic.play, args=(phrases,), daemon=True)
        playing.start()
        self.addCleanup(playing.join, 60)

        # The first phrase's words, before Enter: the server hears its pause while the second is spoken.
        first = term.wait_for(lambda: (row := term.live_words()) and set(words(row)) & set(words(FIRST_PHRASE))
                              and row, timeout=60, what="the first phrase's live words")
        # Then the second's after them, which the quiet at the end of the recording finishes: nothing more
        # comes, so the row stays as it is when Enter ends the take.
        both = term.wait_for(lambda: (row := term.live_words()) and len(words(row)) > len(words(first)) and row,
                             timeout=60, what="the second phrase's live words")
        playing.join(60)
        self.assertFalse(playing.is_alive())
        term.type("\r")
        text = term.wait_for(lambda: self.take_text(term), timeout=60, what="the take's text and the next prompt")
        # The words shown read as the take's text begins: the reply is the same decoding, finished.
        for shown in (first, both):
            self.assertEqual(words(text)[:len(words(shown))], words(shown), (shown, text))
        self.assertLess(len(words(first)), len(words(text)), (first, text))
        # Nothing of the words is left on the screen: not under the next prompt, and not in the rows that
        # the HTTP library's trace wrote over them, which would keep whatever the shorter lines left.
        self.assertEqual(self.left_of(both, term.rows(), text), [])
        term.end_input()
        self.assertEqual(term.wait(timeout=60), 0)
        server.terminate()
        self.assertEqual(server.wait(timeout=10), 0)
        self.assertEqual(self.left_of(both, term.rows(), text), [])

    @staticmethod
    def left_of(shown, rows, text):
        """The rows, other than the take's text, that end with the last three or more characters of `shown`
        in the columns where they stood: what rows written over it would keep."""
        return [row for row in rows if row != text
                and any(row[k:] == shown[k:] for k in range(min(len(row), len(shown) - 2)))]

    @staticmethod
    def take_text(term):
        """The row under the take's path, once the next take's prompt has come under it; else None."""
        dialogue = [r for r in term.rows() if not NOT_DIALOGUE.match(r)]
        paths = [i for i, row in enumerate(dialogue) if row.startswith("output_path: C:/Whisper/")]
        if paths and PROMPT_TEXT in dialogue[paths[0] + 2:]:
            return dialogue[paths[0] + 1]
        return None


if __name__ == "__main__":
    private_network(sys.argv)
    unittest.main()
