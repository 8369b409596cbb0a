"""The built dictate-server, run as a user would, on a free loopback port.

usage: server_end_to_end_test.py PATH/TO/dictate-server POCKETSPHINX_TEST_DATA_DIR
"""

import http.client
import io
import json
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
import wave

SERVER = ""
TEST_DATA = ""
HOST = "127.0.0.1"
GO_FORWARD = "go forward ten meters"


class Server:
    """One dictate-server process; killed on every way out of the `with` block."""

    def __init__(self, *args):
        self.args = [SERVER, "--host", HOST, *args]
        self.lines = []
        self.port = None

    def __enter__(self):
        self.process = subprocess.Popen(self.args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, text=True)
        ready = threading.Event()

        def read_log():
            for line in self.process.stderr:
                self.lines.append(line.rstrip("\n"))
                found = re.search(r"listening on .*:(\d+)$", line)
                if found:
                    self.port = int(found.group(1))
                    ready.set()
            ready.set()

        self.reader = threading.Thread(target=read_log, daemon=True)
        self.reader.start()
        if not ready.wait(60) or self.port is None:
            self.kill()
            raise AssertionError("server did not start: %s" % "\n".join(self.lines))
        return self

    def __exit__(self, *exc):
        self.kill()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.finish_log()

    def stop(self, sig=signal.SIGTERM, timeout=60):
        self.process.send_signal(sig)
        code = self.process.wait(timeout)
        self.finish_log()
        return code

    def finish_log(self):
        self.reader.join(5)
        if not self.reader.is_alive():
            self.process.stderr.close()

    def connect(self, timeout=60):
        return http.client.HTTPConnection(HOST, self.port, timeout=timeout)

    def request(self, method, path, body=None, headers=None):
        conn = self.connect()
        try:
            conn.request(method, path, body=body, headers=headers or {})
            response = conn.getresponse()
            return response.status, json.loads(response.read())
        finally:
            conn.close()

    def raw(self, head):
        """Sends a request head only (no body) and returns the status and JSON body of the reply."""
        with socket.create_connection((HOST, self.port), timeout=30) as sock:
            sock.sendall(head.encode())
            data = b""
            while b"\r\n\r\n" not in data or len(data.split(b"\r\n\r\n", 1)[1]) < content_length(data):
                chunk = sock.recv(65536)
                if not chunk:
                    break
                data += chunk
        status = int(data.split(b" ", 2)[1])
        return status, json.loads(data.split(b"\r\n\r\n", 1)[1])


def content_length(data):
    found = re.search(rb"(?i)content-length: *(\d+)", data)
    return int(found.group(1)) if found else 0


def multipart(parts, boundary="dictate-boundary-7d93"):
    body = b""
    for name, content in parts:
        body += (f"--{boundary}\r\nContent-Disposition: form-data; name=\"{name}\"; filename=\"take.wav\"\r\n"
                 f"Content-Type: audio/wav\r\n\r\n").encode() + content + b"\r\n"
    body += f"--{boundary}--\r\n".encode()
    return body, {"Content-Type": f"multipart/form-data; boundary={boundary}"}


def silent_wav(seconds, rate=16000):
    out = io.BytesIO()
    with wave.open(out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(b"\0\0" * int(seconds * rate))
    return out.getvalue()


def upload(server, content, name="audio"):
    body, headers = multipart([(name, content)])
    return server.request("POST", "/transcribe", body, headers)


class EndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="dictate-server-test-")
        raw = os.path.join(TEST_DATA, "goforward.raw")
        as_input = ["-t", "raw", "-r", "16000", "-e", "signed", "-b", "16", "-c", "1", raw]

        def sox(name, *output_args, repeat=1):
            path = os.path.join(cls.work, name)
            subprocess.run(["sox", *(as_input * repeat), *output_args, path], check=True)
            with open(path, "rb") as f:
                return f.read()

        # What the client sends: 48 kHz 16-bit mono.
        cls.speech = sox("take.wav", "-r", "48000", "-b", "16")
        cls.long_speech = sox("long.wav", "-r", "48000", "-b", "16", repeat=8)
        cls.adpcm = sox("adpcm.wav", "-e", "ms-adpcm")
        cls.silence = silent_wav(0.2)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def assert_healthy(self, server):
        self.assertEqual(server.request("GET", "/health"), (200, {"status": "ok"}))

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
                ("chunked upload", lambda: server.raw(
                    f"POST /transcribe HTTP/1.1\r\nHost: {HOST}\r\nTransfer-Encoding: chunked\r\n"
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


def server_accepts(port):
    try:
        socket.create_connection((HOST, port), timeout=5).close()
        return True
    except OSError:
        return False


def server_has_connection(port):
    """Whether the kernel shows an established connection to `port` (so the upload is on its way)."""
    out = subprocess.run(["ss", "-Htn", "state", "established", f"( sport = :{port} )"],
                         capture_output=True, text=True).stdout
    return bool(out.strip())


if __name__ == "__main__":
    SERVER, TEST_DATA = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
