"""Runs a built dictate-server on a free loopback port for the measurement scripts in this folder.

The process wrapper is the server tests' own (support.server_process; run with PYTHONPATH=tests), so the measurements start, talk to and stop the server exactly
as the tests do.
"""

import os
import re
import subprocess
import time

from support import server_process as e2e

HERE = os.path.dirname(os.path.abspath(__file__))

DEFAULT_BINARY = os.path.join(HERE, "..", "..", "build", "server", "dictate-server")  # scripts/build
TEST_DATA = subprocess.run(["pkg-config", "--variable=datadir", "pocketsphinx"], capture_output=True,
                           text=True, check=True).stdout.strip() + "/test/data"


class Server(e2e.Server):
    def __init__(self, binary=DEFAULT_BINARY, *args):
        super().__init__()
        self.args = [binary, "--host", e2e.HOST, "--port", "0", *args]

    def __enter__(self):
        started = time.monotonic()
        super().__enter__()
        self.ready_after = time.monotonic() - started
        return self

    def connect(self, timeout=600):
        # Minutes of speech take a minute or more to decode on a loaded machine.
        return super().connect(timeout)

    def transcribe(self, wav_bytes, stream=False, series=None):
        """The reply to `wav_bytes` uploaded whole, or with `stream` as a chunked body with the unknown
        sizes of a recorder that streams, as a take of `series` (an id) when given."""
        if stream:
            extra = f"X-Take-Series: {series}\r\n" if series else ""
            status, reply, _ = e2e.stream_upload(self, e2e.streamed(wav_bytes), head_extra=extra)
        else:
            status, reply = e2e.upload(self, wav_bytes)
        if status != 200:
            raise RuntimeError(f"upload refused: {status} {reply}")
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
