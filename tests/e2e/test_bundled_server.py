"""The whole product as shipped: the virtual microphone hears a person read a sentence, dictate records it,
the bundled dictate-server transcribes it, and the transcript lands in D:/Whisper."""

import http.client
import json
import os
import sys
import unittest

from support.bundled import SENTENCE_TEXT, dictate_sentence, port_answers, recorded_sentence, start_server
from support.harness import Scratch, private_network
from support.server_process import multipart


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


if __name__ == "__main__":
    private_network(sys.argv)
    unittest.main()
