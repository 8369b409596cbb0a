"""The scripted loopback server of the end-to-end tests, taught a few more ways to fail: resetting the
connection while the upload is still arriving, and sending a reply's headers but none of its body."""

import os
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from fake_server import FakeServer, Reply, Request  # noqa: E402


class FaultReply(Reply):
    def __init__(self, body=b"", reset=False, head_only=False, **kwargs):
        super().__init__(body, **kwargs)
        self.reset, self.head_only = reset, head_only


class FaultServer(FakeServer):
    def _answer(self, conn):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(65536)
            if not chunk:
                return
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        request = Request(head, b"")
        with self.lock:
            reply = self.script.pop(0) if self.script else self.default
        if getattr(reply, "reset", False):
            with self.lock:
                self.requests.append(request)
            # Linger 0: close() sends RST at once, with most of the upload still unread.
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return
        length = int(request.headers.get("content-length", "0"))
        while len(body) < length:
            chunk = conn.recv(1 << 20)
            if not chunk:
                break
            body += chunk
        request.body = body
        with self.lock:
            self.requests.append(request)
        if reply is None or reply.silent:
            return
        # Waited out in steps, so closing the server does not wait for a reply nobody is left to read.
        deadline = time.monotonic() + reply.delay
        while self.running and time.monotonic() < deadline:
            time.sleep(0.05)
        if not self.running:
            return
        head = (f"HTTP/1.1 {reply.status} X\r\nContent-Type: {reply.content_type}\r\n"
                f"Content-Length: {len(reply.body)}\r\nConnection: close\r\n\r\n").encode()
        if getattr(reply, "head_only", False):
            conn.sendall(head)
            return
        conn.sendall(head + (reply.body[: len(reply.body) // 2] if reply.cut else reply.body))
