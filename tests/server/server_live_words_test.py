"""The built dictate-server shows a streamed take's words as each phrase ends: a real recording of three read
sentences with pauses between them, streamed at the pace it would be recorded, read through its events.

usage: server_live_words_test.py PATH/TO/dictate-server POCKETSPHINX_TEST_DATA_DIR
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
from support.harness import wait_until
from support.server_process import HOST, Server, events_of, multipart, open_events, take_head, take_id

SERVER = ""
TEST_DATA = ""
PIECE = 9600  # 0.1 s of 48 kHz 16-bit mono
WAIT_FOR_TAKE = 10.0  # how long the server waits for an events request's take


def head_read(server_port, client_port):
    """Whether the server has taken the request head off the connection from `client_port`."""
    out = subprocess.run(["ss", "-Htn", "state", "established",
                          f"( sport = :{server_port} and dport = :{client_port} )"],
                         capture_output=True, text=True).stdout.split()
    return bool(out) and out[0] == "0"


def words(text):
    return re.sub(r"[^a-z' ]", "", text.lower()).split()


class Streaming(threading.Thread):
    """A streamed upload of `wav` named by `take`, sent at the pace of its recording on a thread of its own."""

    def __init__(self, server, wav, take):
        super().__init__(daemon=True)
        self.server, self.wav, self.take = server, wav, take
        self.reply = None
        self.body_ended = None

    def run(self):
        status, reply, waited = server_process.stream_upload(
            self.server, server_process.streamed(self.wav), PIECE, pace=0.1, head_extra=take_head(self.take),
            as_recorded=True)
        self.body_ended = time.monotonic() - waited
        self.reply = (status, reply)


class LiveWords(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="dictate-live-words-")
        librivox = os.path.join(TEST_DATA, "librivox", "sense_and_sensibility_01_austen_64kb-0")
        pause = os.path.join(cls.work, "pause.wav")
        subprocess.run(["sox", "-n", "-r", "16000", "-c", "1", "-b", "16", pause, "trim", "0", "1.5"], check=True)

        def take(name, *sentences):
            path = os.path.join(cls.work, name)
            sources = []
            for sentence in sentences:
                sources += [librivox + sentence + ".wav", pause]
            subprocess.run(["sox", *sources, "-r", "48000", "-b", "16", path], check=True)
            with open(path, "rb") as f:
                return f.read()

        cls.three_phrases = take("three.wav", "880", "890", "930")
        cls.one_phrase = take("one.wav", "880")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_each_phrase_shows_before_the_take_ends_then_the_events_end(self):
        with Server("--port", "0") as server:
            self.assertEqual(server.request("GET", "/health")[1].get("live_words"), True)
            take = take_id()
            streaming = Streaming(server, self.three_phrases, take)
            streaming.start()
            events = open_events(server, "/transcribe/events/" + take)
            self.assertEqual(events.status, 200)
            self.assertEqual(events.getheader("Content-Type"), "text/event-stream")
            self.assertEqual(events.getheader("Cache-Control"), "no-store")
            self.assertEqual(events.getheader("Transfer-Encoding"), "chunked")
            # One reader per take, and ids are screened; an id no upload names is refused after the wait.
            self.assertEqual(server.request("GET", "/transcribe/events/" + take)[0], 409)
            self.assertEqual(server.request("GET", "/transcribe/events/" + take.upper())[0], 400)
            unknown = {}

            def ask_unknown():
                began = time.monotonic()
                unknown["status"] = server.request("GET", "/transcribe/events/" + take_id())[0]
                unknown["seconds"] = time.monotonic() - began

            asking = threading.Thread(target=ask_unknown, daemon=True)
            asking.start()
            seen = list(events_of(events))
            events.close()
            streaming.join(120)
            asking.join(60)

            status, reply = streaming.reply
            self.assertEqual(status, 200, reply)
            self.assertEqual([name for name, _, _ in seen][-1:], ["end"], seen)
            texts = [(data["text"], at) for name, data, at in seen if name == "words"]
            final = words(reply["text"])
            self.assertGreaterEqual(len(final), 10, reply)
            # The first phrase's words came while the rest of the take was still being spoken, and read as
            # the reply's first words.
            early = [text for text, at in texts if at < streaming.body_ended]
            self.assertTrue(early, (texts, streaming.body_ended))
            self.assertEqual(final[:len(words(early[0]))], words(early[0]), (early, reply))
            self.assertLess(len(words(early[0])), len(final))
            self.assertEqual(texts[-1][0], reply["text"])

            self.assertEqual(unknown.get("status"), 404, unknown)
            self.assertGreaterEqual(unknown["seconds"], WAIT_FOR_TAKE - 0.5, unknown)
            # The events request's line is written once its connection is done, which may be after the end.
            logged = re.compile(r"GET /transcribe/events/\w{8}\.\.\. -> 200, \d+ words events in .* "
                                r"ended with the take$")
            self.assertTrue(wait_until(lambda: any(map(logged.search, server.lines))), server.lines)
            self.assertFalse(any(take in line for line in server.lines), "the log holds a whole take id")

    def test_a_take_broken_off_ends_its_events(self):
        with Server("--port", "0") as server:
            take = take_id()
            body, headers = multipart([("audio", server_process.streamed(self.three_phrases))])
            with socket.create_connection((HOST, server.port), timeout=60) as sock:
                sock.sendall((f"POST /transcribe HTTP/1.1\r\nHost: {HOST}\r\nTransfer-Encoding: chunked\r\n"
                              f"Content-Type: {headers['Content-Type']}\r\n{take_head(take)}\r\n").encode())
                part = body[:len(body) // 3]
                sock.sendall(b"%x\r\n" % len(part) + part + b"\r\n")
                events = open_events(server, "/transcribe/events/" + take)
                self.assertEqual(events.status, 200)
            # The client is gone part way through: its events end, as its upload does.
            seen = [name for name, _, _ in events_of(events)]
            events.close()
            self.assertEqual(seen[-1:], ["end"], seen)

    def test_stopping_ends_events_and_waits_for_takes(self):
        with Server("--port", "0") as server:
            take = take_id()
            streaming = Streaming(server, self.one_phrase, take)
            streaming.start()
            events = open_events(server, "/transcribe/events/" + take)
            self.assertEqual(events.status, 200)
            waiting = {}
            unknown = server.connect()
            unknown.connect()
            client_port = unknown.sock.getsockname()[1]

            def ask_unknown():
                unknown.request("GET", "/transcribe/events/" + take_id())
                waiting["status"] = unknown.getresponse().status

            asking = threading.Thread(target=ask_unknown, daemon=True)
            asking.start()
            # Stopping closes connections whose heads are still being screened: this one must have reached
            # the wait for its take.
            self.assertTrue(wait_until(lambda: head_read(server.port, client_port), timeout=30))
            server.process.send_signal(signal.SIGTERM)
            seen = [name for name, _, _ in events_of(events)]
            events.close()
            streaming.join(120)
            asking.join(60)
            unknown.close()
            self.assertEqual(server.process.wait(60), 0)
            # The upload in flight was finished and its events ended; the request still waiting for a
            # take was told the server is stopping rather than kept for the whole wait.
            self.assertEqual(streaming.reply[0], 200, streaming.reply)
            self.assertEqual(seen[-1:], ["end"], seen)
            self.assertEqual(waiting.get("status"), 503, waiting)


if __name__ == "__main__":
    SERVER, TEST_DATA = sys.argv[1], sys.argv[2]
    server_process.SERVER = SERVER
    unittest.main(argv=[sys.argv[0], "-v"])
