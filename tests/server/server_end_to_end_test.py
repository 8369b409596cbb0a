"""The built dictate-server, run as a user would, on a free loopback port.

usage: server_end_to_end_test.py PATH/TO/dictate-server POCKETSPHINX_TEST_DATA_DIR
"""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from support import server_process
from support.harness import word_errors
from support.server_process import (GO_FORWARD, HOST, Server, multipart, server_accepts, server_has_connection,
                                    silent_wav, upload)

SERVER = ""
TEST_DATA = ""


class EndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="dictate-server-test-")
        raw = os.path.join(TEST_DATA, "goforward.raw")
        as_input = ["-t", "raw", "-r", "16000", "-e", "signed", "-b", "16", "-c", "1", raw]

        def sox(name, *output_args, repeat=1, source=as_input):
            path = os.path.join(cls.work, name)
            subprocess.run(["sox", *(source * repeat), *output_args, path], check=True)
            with open(path, "rb") as f:
                return f.read()

        # What the client sends: 48 kHz 16-bit mono.
        cls.speech = sox("take.wav", "-r", "48000", "-b", "16")
        cls.long_speech = sox("long.wav", "-r", "48000", "-b", "16", repeat=8)
        cls.adpcm = sox("adpcm.wav", "-e", "ms-adpcm")
        cls.silence = silent_wav(0.2)
        # A sentence with a spoken command, as the synthesiser says it.
        spoken = os.path.join(cls.work, "spoken.wav")
        subprocess.run(["flite", "-voice", "awb", "-t", "it was late semicolon we went home", "-o", spoken],
                       check=True)
        cls.spoken_semicolon = sox("semicolon.wav", "-r", "48000", "-b", "16", source=[spoken])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def assert_healthy(self, server):
        self.assertEqual(server.request("GET", "/health"),
                         (200, {"status": "ok", "streaming": True, "take_series": True, "live_words": True}))

    def test_a_server_that_decodes_only_whole_uploads_says_so(self):
        with Server("--port", "0", "--no-streaming") as server:
            self.assertEqual(server.request("GET", "/health"),
                             (200, {"status": "ok", "streaming": False, "take_series": False, "live_words": False}))

    def test_transcribes_speech_and_refuses_bad_requests_without_stopping(self):
        with Server("--port", "0", "--max-upload-mb", "8") as server:
            self.assert_healthy(server)
            status, body = upload(server, self.speech)
            self.assertEqual(status, 200, body)
            self.assertEqual(body["text"], GO_FORWARD)
            self.assertAlmostEqual(body["duration"], 2.79, delta=0.01)

            no_audio, no_audio_headers = multipart([("comment", b"hello")])
            quiet, _ = multipart([("audio", self.silence)], "X")

            def quiet_as(content_type):
                return lambda: server.request("POST", "/transcribe", quiet, {"Content-Type": content_type})

            def head_with(lines):
                return lambda: server.raw(f"POST /transcribe HTTP/1.1\r\nHost: {HOST}\r\n{lines}"
                                          "Content-Type: multipart/form-data; boundary=x\r\n\r\n")
            no_boundary = {"Content-Type": "multipart/form-data"}
            cases = [
                ("no audio part", lambda: server.request("POST", "/transcribe", no_audio, no_audio_headers), 400),
                ("not multipart", lambda: server.request("POST", "/transcribe", self.speech,
                                                         {"Content-Type": "audio/wav"}), 400),
                ("multipart without boundary", lambda: server.request("POST", "/transcribe", no_audio,
                                                                      no_boundary), 400),
                ("malformed WAV", lambda: upload(server, b"RIFF\x00\x00\x00\x00WAVEfmt "), 400),
                ("ADPCM WAV", lambda: upload(server, self.adpcm), 415),
                ("gzip-coded upload", lambda: server.raw(
                    f"POST /transcribe HTTP/1.1\r\nHost: {HOST}\r\nTransfer-Encoding: gzip, chunked\r\n"
                    "Content-Type: multipart/form-data; boundary=x\r\n\r\n"), 411),
                ("over the limit", lambda: server.raw(
                    f"POST /transcribe HTTP/1.1\r\nHost: {HOST}\r\nContent-Length: 8000001\r\n"
                    "Content-Type: multipart/form-data; boundary=x\r\n\r\n"), 413),
                ("boundary before a charset", quiet_as("multipart/form-data; boundary=X; charset=UTF-8"), 200),
                ("boundary name in capitals, quoted", quiet_as('Multipart/Form-Data; Boundary="X"'), 200),
                ("two different Content-Lengths", head_with("Content-Length: 300\r\nContent-Length: 5\r\n"), 400),
                ("chunked and a Content-Length", head_with("Transfer-Encoding: chunked\r\nContent-Length: 5\r\n"), 400),
                ("unknown path", lambda: server.request("GET", "/v1/transcribe"), 404),
                ("GET transcribe", lambda: server.request("GET", "/transcribe"), 405),
                ("DELETE health", lambda: server.request("DELETE", "/health"), 405),
            ]
            for name, send, expected in cases:
                with self.subTest(name):
                    status, body = send()
                    self.assertEqual(status, expected, body)
                    self.assertIsInstance(body.get("text" if status == 200 else "error"), str, body)
                    self.assert_healthy(server)
            # One log line per request, each with its status (all written once the server has stopped).
            self.assertEqual(server.stop(), 0)
            statuses = [int(m.group(1)) for m in map(re.compile(r"-> (\d+),").search, server.lines) if m]
            self.assertEqual(sorted(statuses), sorted([200] * (2 + len(cases)) + [e for _, _, e in cases]))

    def test_streamed_take_reads_as_the_whole_upload_within_the_limit(self):
        with Server("--port", "0", "--max-upload-mb", "1") as server:
            for name, take in (("sentence", self.speech), ("spoken command", self.spoken_semicolon)):
                with self.subTest(name):
                    whole = upload(server, take)
                    status, streamed, _ = server_process.stream_upload(server, server_process.streamed(take))
                    self.assertEqual((status, streamed), whole)
            # Its length unknown, a streamed upload is refused once it has sent more than the limit.
            status, body, _ = server_process.stream_upload(server, server_process.streamed(self.long_speech))
            self.assertEqual(status, 413, body)
            self.assert_healthy(server)

    def test_takes_whose_speech_fills_the_file_read_as_their_words(self):
        # Sentences cut where their sound starts and stops, as a take pressed off on its last word is, by
        # several voices; uploaded whole and streamed, each must read close to what was said, its first
        # word, which starts at the take's first sample, included.
        takes = [("awb", "i will write a short guide to kubernetes for the team"),
                 ("awb", "my sister works at the hospital downtown"),
                 ("slt", "check the numbers again before you sign"),
                 ("rms", "can you call me back when you are free"),
                 ("kal16", "the doctor said i should rest for a few days")]
        with Server("--port", "0", "--raw-words") as server:
            for voice, sentence in takes:
                with self.subTest(voice=voice, sentence=sentence):
                    spoken = os.path.join(self.work, "tight-spoken.wav")
                    take = os.path.join(self.work, "tight.wav")
                    subprocess.run(["flite", "-voice", voice, "-t", sentence, "-o", spoken], check=True)
                    subprocess.run(["sox", "-D", spoken, "-r", "48000", "-b", "16", "-c", "1", take, "silence", "1",
                                    "0.01", "1%", "reverse", "silence", "1", "0.01", "1%", "reverse"], check=True)
                    with open(take, "rb") as f:
                        audio = f.read()
                    status, body = upload(server, audio)
                    self.assertEqual(status, 200, body)
                    said, heard = sentence.split(), body["text"].split()
                    self.assertLessEqual(word_errors(said, heard), len(said) // 2, body["text"])
                    self.assertEqual(heard[:1], said[:1], body["text"])
                    status, streamed, _ = server_process.stream_upload(server, server_process.streamed(audio))
                    self.assertEqual((status, streamed), (200, body))

    def test_four_simultaneous_uploads_all_succeed(self):
        with Server("--port", "0") as server:
            results = [None] * 4
            start = threading.Barrier(4)

            def send(i):
                start.wait()
                results[i] = upload(server, self.speech, name="audio" if i % 2 else "file")

            threads = [threading.Thread(target=send, args=(i,)) for i in range(4)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(120)
            for status, body in results:
                self.assertEqual(status, 200, body)
                self.assertEqual(body["text"], GO_FORWARD)

    def test_spoken_punctuation_is_written_unless_raw_words_are_asked_for(self):
        # A synthetic voice the recogniser hears well; the word before the command varies with the model.
        for args, expected in (((), r"It was \w+; we went home"),
                               (("--raw-words",), r"it was \w+ semicolon we went home")):
            with self.subTest(args), Server("--port", "0", *args) as server:
                status, body = upload(server, self.spoken_semicolon)
                self.assertEqual(status, 200, body)
                self.assertRegex(body["text"], "^" + expected + "$")

    def test_sigterm_finishes_the_request_in_flight_then_exits_0(self):
        with Server("--port", "0", "--max-upload-mb", "8") as server:
            result = {}

            def send():
                result["reply"] = upload(server, self.long_speech)

            sender = threading.Thread(target=send)
            sender.start()
            # Wait until the upload has arrived, so it is being decoded when the signal comes.
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and not server_has_connection(server.port):
                time.sleep(0.05)
            time.sleep(0.3)
            self.assertEqual(server.stop(signal.SIGTERM), 0, "\n".join(server.lines))
            sender.join(60)
            status, body = result["reply"]
            self.assertEqual(status, 200, body)
            self.assertEqual(body["text"].split().count("forward"), 8, body)
            # The reply was logged (so written) before the server said it stopped.
            logged = [i for i, line in enumerate(server.lines) if "POST /transcribe -> 200" in line]
            self.assertEqual(len(logged), 1, server.lines)
            self.assertEqual(server.lines[-1], "dictate-server: stopped")
            self.assertLess(logged[0], len(server.lines) - 1)

    def test_a_second_signal_ends_the_server_at_once(self):
        with Server("--port", "0", "--max-upload-mb", "8") as server:
            outcome = {}

            def send():
                try:
                    outcome["reply"] = upload(server, self.long_speech)
                except OSError as failure:
                    outcome["failure"] = failure

            sender = threading.Thread(target=send)
            sender.start()
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and not server_has_connection(server.port):
                time.sleep(0.05)
            server.process.send_signal(signal.SIGINT)
            # Once the first has been taken in, the server no longer accepts connections.
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and server_accepts(server.port):
                time.sleep(0.05)
            self.assertEqual(server.stop(signal.SIGINT, timeout=5), 130)
            sender.join(60)
            self.assertIn("failure", outcome, "the upload in flight was answered: the server did not end at once")
            self.assertNotIn("dictate-server: stopped", server.lines)

    def test_sigint_exits_0_when_idle(self):
        with Server("--port", "0") as server:
            self.assertEqual(server.stop(signal.SIGINT), 0)
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection((HOST, server.port), timeout=5).close()

    def test_start_up_failures_are_explained(self):
        with Server("--port", "0") as running:
            cases = [
                ("port in use", ["--port", str(running.port)], 1, rf"cannot listen on {HOST}:{running.port}: .*in use"),
                ("missing model", ["--port", "0", "--model-dir", self.work], 1,
                 rf"cannot load the speech model from {re.escape(self.work)}"),
                ("bad option", ["--port", "http"], 2, r"--port wants 0\.\.65535"),
                # The resolver's own words, whichever it finds: not a system error number's text.
                ("unresolvable host", ["--port", "0", "--host", "nosuch.invalid"], 1,
                 r"cannot listen on nosuch\.invalid:0: (Name or service not known|Temporary failure in name "
                 r"resolution|No address associated with hostname)$"),
            ]
            for name, args, code, message in cases:
                with self.subTest(name):
                    done = subprocess.run([SERVER, *([] if "--host" in args else ["--host", HOST]), *args], stdin=subprocess.DEVNULL,
                                          capture_output=True, text=True, timeout=60)
                    self.assertEqual(done.returncode, code, done.stderr)
                    self.assertRegex(done.stderr, r"^dictate-server: " + message)
            self.assert_healthy(running)



if __name__ == "__main__":
    SERVER, TEST_DATA = sys.argv[1], sys.argv[2]
    server_process.SERVER = SERVER
    unittest.main(argv=[sys.argv[0], "-v"])
