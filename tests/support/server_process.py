"""A built dictate-server run on a free loopback port, and the requests the tests and measurements send it.

Set SERVER to the program before starting one. Every process is killed on every way out of its `with` block.
"""

import http.client
import io
import json
import os
import re
import secrets
import signal
import socket
import subprocess
import threading
import time
import wave

SERVER = ""  # path of the built dictate-server
HOST = "127.0.0.1"
GO_FORWARD = "Go forward ten meters"


# A data folder that can't exist, so a voice profile of the user's own never changes what a test hears.
WITHOUT_VOICE_PROFILE = dict(os.environ, XDG_DATA_HOME="/dev/null/no-profile")


class Server:
    """One dictate-server process; killed on every way out of the `with` block. It runs in `env`, by default
    one without the user's voice profile."""

    def __init__(self, *args, env=None):
        self.args = [SERVER, "--host", HOST, *args]
        self.env = env or WITHOUT_VOICE_PROFILE
        self.lines = []
        self.port = None

    def __enter__(self):
        self.process = subprocess.Popen(self.args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, text=True, env=self.env)
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
            data = read_reply(sock)
        status = int(data.split(b" ", 2)[1])
        return status, json.loads(data.split(b"\r\n\r\n", 1)[1])


def content_length(data):
    found = re.search(rb"(?i)content-length: *(\d+)", data)
    return int(found.group(1)) if found else 0


def read_reply(sock, data=b""):
    """Reads from `sock`, after what already arrived in `data`, until a whole reply (its head and as many body
    bytes as its Content-Length says) is there or the server closes; returns all that arrived."""
    while b"\r\n\r\n" not in data or len(data.split(b"\r\n\r\n", 1)[1]) < content_length(data):
        chunk = sock.recv(65536)
        if not chunk:
            break
        data += chunk
    return data


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


def streamed(wav_bytes):
    """The WAV file as a recorder that cannot know its length sends it: RIFF and data sizes 0xFFFFFFFF."""
    data_at = wav_bytes.index(b"data") + 8
    return (wav_bytes[:4] + b"\xff\xff\xff\xff" + wav_bytes[8:data_at - 4] + b"\xff\xff\xff\xff"
            + wav_bytes[data_at:])


def stream_upload(server, wav_bytes, piece=9600, pace=None, head_extra="", as_recorded=False):
    """Uploads `wav_bytes` as a chunked body of `piece`-byte chunks, one every `pace` seconds when given
    (as a take is recorded; with `as_recorded`, each once `pace` has passed since the one before, as a
    recorder sends a block it has finished), in the multipart form dictate sends. Returns (status, reply,
    seconds from the body's last byte to the reply's first)."""
    body, headers = multipart([("audio", wav_bytes)])
    head = (f"POST /transcribe HTTP/1.1\r\nHost: {HOST}\r\nTransfer-Encoding: chunked\r\n"
            f"Content-Type: {headers['Content-Type']}\r\n{head_extra}\r\n").encode()
    with socket.create_connection((HOST, server.port), timeout=120) as sock:
        sock.sendall(head)
        started = time.monotonic()
        for at in range(0, len(body), piece):
            if pace is not None:
                time.sleep(max(0.0, started + pace * (at // piece + as_recorded) - time.monotonic()))
            part = body[at:at + piece]
            sock.sendall(b"%x\r\n" % len(part) + part + b"\r\n")
        sock.sendall(b"0\r\n\r\n")
        ended = time.monotonic()
        data = sock.recv(65536)
        waited = time.monotonic() - ended
        data = read_reply(sock, data)
    status = int(data.split(b" ", 2)[1])
    return status, json.loads(data.split(b"\r\n\r\n", 1)[1]), waited


def take_id():
    """A streamed take's id as a client picks it: 32 lowercase hexadecimal digits from a good source."""
    return secrets.token_hex(16)


def take_head(take):
    """The header that names a streamed upload's take, for stream_upload's head_extra."""
    return f"X-Take-Id: {take}\r\n"


def open_events(server, path, timeout=60):
    """GET `path` (the events of a take); returns the open response, whose status the caller reads first.
    Close it (or the connection it holds) when done."""
    conn = server.connect(timeout)
    conn.request("GET", path)
    return conn.getresponse()


def events_of(response, within=60.0):
    """Yields the events of an open events reply as (name, data, monotonic time read), comments left out,
    until the server ends the reply, or `within` seconds have passed (its keep-alive comments would hold a
    reply that never ends open for ever)."""
    name, data = "message", ""
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        line = response.readline()
        if not line:
            return
        line = line.decode().rstrip("\r\n")
        if not line:
            if data:
                yield name, json.loads(data), time.monotonic()
            name, data = "message", ""
        elif line.startswith(":"):
            continue
        elif line.startswith("event:"):
            name = line[len("event:"):].strip()
        elif line.startswith("data:"):
            data += line[len("data:"):].strip()
