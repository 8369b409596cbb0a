"""Runs a built dictate-server on a free loopback port for the measurement scripts in this folder."""

import http.client
import json
import os
import re
import signal
import subprocess
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_BINARY = os.path.join(HERE, "..", "..", "build", "server", "dictate-server")  # scripts/build
TEST_DATA = subprocess.run(["pkg-config", "--variable=datadir", "pocketsphinx"], capture_output=True,
                           text=True, check=True).stdout.strip() + "/test/data"


class Server:
    def __init__(self, binary=DEFAULT_BINARY, *args):
        self.args = [binary, "--host", "127.0.0.1", "--port", "0", *args]
        self.lines = []

    def __enter__(self):
        self.started = time.monotonic()
        self.process = subprocess.Popen(self.args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, text=True)
        ready = threading.Event()
        self.port = None

        def read_log():
            for line in self.process.stderr:
                self.lines.append(line.rstrip("\n"))
                found = re.search(r"listening on .*:(\d+)$", line)
                if found:
                    self.ready_after = time.monotonic() - self.started
                    self.port = int(found.group(1))
                    ready.set()
            ready.set()

        self.reader = threading.Thread(target=read_log, daemon=True)
        self.reader.start()
        if not ready.wait(120) or self.port is None:
            self.__exit__()
            raise RuntimeError("server did not start: " + "\n".join(self.lines))
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.reader.join(5)
        self.process.stderr.close()

    def transcribe(self, wav_bytes):
        boundary = "bench-boundary-41c2"
        body = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"audio\"; filename=\"take.wav\"\r\n"
                "Content-Type: audio/wav\r\n\r\n").encode() + wav_bytes + f"\r\n--{boundary}--\r\n".encode()
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=600)
        try:
            conn.request("POST", "/transcribe", body, {"Content-Type": f"multipart/form-data; boundary={boundary}"})
            response = conn.getresponse()
            reply = json.loads(response.read())
        finally:
            conn.close()
        if response.status != 200:
            raise RuntimeError(f"upload refused: {response.status} {reply}")
        return reply

    def last_decode_seconds(self):
        """Decode time of the last transcription, from the server's own log line."""
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            for line in reversed(self.lines):
                found = re.search(r"POST /transcribe -> 200, .* ([\d.]+) s decode$", line)
                if found:
                    return float(found.group(1))
            time.sleep(0.05)
        raise RuntimeError("no decode time in the server log")

    def peak_rss_mb(self):
        with open(f"/proc/{self.process.pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0
        raise RuntimeError("no VmHWM in /proc status")
