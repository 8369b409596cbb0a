"""The whole product as shipped: the virtual microphone hears a person read a sentence, dictate records it,
the bundled dictate-server transcribes it, and the transcript lands in D:/Whisper."""

import os
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import Scratch, binary, finish, private_network, start_dictate, wait_until
from virtual_mic import VirtualMic

SENTENCE = "/usr/share/pocketsphinx/test/data/goforward.raw"


def port_answers(port=4999):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


class BundledServer(unittest.TestCase):
    def test_spoken_sentence_becomes_its_transcript(self):
        scratch = Scratch()
        self.addCleanup(scratch.remove)
        sentence = os.path.join(scratch.path, "sentence.wav")
        subprocess.run(["sox", "-t", "raw", "-r", "16000", "-e", "signed", "-b", "16", "-c", "1", SENTENCE,
                        "-r", "48000", sentence], check=True)
        self.assertFalse(port_answers(), "port 4999 is taken; stop whatever listens there")
        server = subprocess.Popen([binary("dictate-server")], stderr=subprocess.PIPE)
        self.addCleanup(lambda: server.poll() is None and (server.kill(), server.wait()))
        self.assertTrue(wait_until(port_answers, timeout=30), "dictate-server did not start")

        with VirtualMic() as mic:
            proc = start_dictate(scratch, mic.env)
            mic.wait_for_recorder()
            mic.play(sentence)
            time.sleep(0.4)
            status, out, err = finish(proc, timeout=60)
        self.assertEqual(status, 0, err.decode()[-2000:])
        self.assertTrue(out.endswith(b"\ngo forward ten meters\n"), out)
        texts = scratch.transcripts()
        self.assertEqual(len(texts), 1)
        with open(os.path.join(scratch.transcript_dir, texts[0]), "rb") as f:
            self.assertEqual(f.read(), b"go forward ten meters\n")

        server.terminate()
        self.assertEqual(server.wait(timeout=10), 0)


if __name__ == "__main__":
    private_network(sys.argv)
    unittest.main()
