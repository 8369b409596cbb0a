"""The built dictate-server at the edges of its resources: a spool folder on a small file system, a full
set of connections, and a thousand refused requests, on a free loopback port.

usage: server_limits_test.py PATH/TO/dictate-server

Runs in a mount namespace of its own where the machine allows it, to mount a small tmpfs as the spool.
"""

import os
import select
import socket
import sys
import tempfile
import unittest

from support import isolation, server_process
from support.harness import wait_until
from support.server_process import HOST, Server, multipart, silent_wav

BOUNDARY = "limits-boundary"
CONNECTION_LIMIT = 64  # uploads at once
MOST_WAITING = 256     # connections still sending their heads


def post_head(length):
    return (f"POST /transcribe HTTP/1.1\r\nHost: {HOST}\r\n"
            f"Content-Type: multipart/form-data; boundary={BOUNDARY}\r\nContent-Length: {length}\r\n\r\n").encode()


def read_all(sock):
    """Everything the server sends until it closes, a reset after a reply included."""
    data = b""
    try:
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            data += chunk
    except ConnectionResetError:
        pass
    return data


def status_of(data):
    return int(data.split(b" ", 2)[1]) if data.startswith(b"HTTP/1.1 ") else None


def descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


class Limits(unittest.TestCase):
    def test_health_answers_head(self):
        with Server("--port", "0") as server:
            with socket.create_connection((HOST, server.port), timeout=10) as sock:
                sock.sendall(f"HEAD /health HTTP/1.1\r\nHost: {HOST}\r\n\r\n".encode())
                reply = read_all(sock)
            self.assertEqual(status_of(reply), 200, reply)
            self.assertTrue(reply.endswith(b"\r\n\r\n"), "a reply to HEAD has no body")

    def test_each_malformed_content_length_gets_one_400(self):
        with Server("--port", "0") as server:
            for length in ("+5", "0x5", "-1", "5x", "5, 6"):
                with self.subTest(length), socket.create_connection((HOST, server.port), timeout=10) as sock:
                    sock.sendall(post_head(length) + b"hello")
                    reply = read_all(sock)
                    self.assertEqual(reply.count(b"HTTP/1.1 "), 1, reply)
                    self.assertEqual(status_of(reply), 400, reply)
                    self.assertIn(b'"error":"Content-Length is not one number', reply)

    def test_descriptors_stay_flat_after_a_thousand_refused_requests(self):
        refusals = [
            f"GET /nothing-here HTTP/1.1\r\nHost: {HOST}\r\n\r\n".encode(),  # 404, no body
            post_head(10**9) + b"\0" * 4096,  # 413 while the client still sends
            post_head(100) + b"not a form at all" * 6,  # 400 on the body
        ]
        with Server("--port", "0", "--max-upload-mb", "1") as server:
            self.assertEqual(server.request("GET", "/health")[0], 200)
            before = descriptors(server.process.pid)
            for i in range(1000):
                with socket.create_connection((HOST, server.port), timeout=10) as sock:
                    try:
                        sock.sendall(refusals[i % len(refusals)])
                    except (BrokenPipeError, ConnectionResetError):
                        pass
                    self.assertIn(status_of(read_all(sock)), (404, 413, 400))
            # Refused connections linger for up to 2 s before they are closed.
            settled = wait_until(lambda: descriptors(server.process.pid) <= before, timeout=10)
            self.assertTrue(settled, f"{descriptors(server.process.pid)} descriptors open, {before} before")

    def test_a_full_server_says_busy_and_still_answers_health(self):
        with Server("--port", "0") as server:
            held = []
            try:
                # Uploads under way (their heads in, their bodies coming) until one is refused: an upload
                # the server has taken says nothing, a refused one hears at once.
                reply = None
                while reply is None and len(held) <= CONNECTION_LIMIT + 8:
                    sock = socket.create_connection((HOST, server.port), timeout=10)
                    sock.sendall(post_head(100000) + b"--" + BOUNDARY.encode())
                    if len(held) < CONNECTION_LIMIT or not select.select([sock], [], [], 1.0)[0]:
                        held.append(sock)
                        continue
                    reply = read_all(sock)
                    sock.close()
                # Heads are taken in whatever order their threads run: one of those held may be the refused one.
                answered = select.select(held, [], [], 0.2)[0]
                self.assertEqual(len(held) - len(answered), CONNECTION_LIMIT)
                self.assertEqual(status_of(reply), 503, reply)
                self.assertTrue(reply.endswith(b'{"error":"busy"}'), reply)
                self.assertEqual(server.request("GET", "/health"),
                         (200, {"status": "ok", "streaming": True, "take_series": True, "live_words": True}))
                # Connections that send nothing take no room from requests; past as many as the server
                # waits for, the next is told the server is busy, not reset.
                for silent in range(1, MOST_WAITING + 1):
                    held.append(socket.create_connection((HOST, server.port), timeout=10))
                    if silent % 64 == 0 and silent < MOST_WAITING:
                        self.assertEqual(server.request("GET", "/health")[0], 200)
                with socket.create_connection((HOST, server.port), timeout=10) as sock:
                    sock.sendall(f"GET /health HTTP/1.1\r\nHost: {HOST}\r\n\r\n".encode())
                    reply = read_all(sock)
                self.assertEqual(status_of(reply), 503, reply)
            finally:
                for sock in held:
                    sock.close()
            self.assertTrue(wait_until(lambda: server.request("GET", "/health")[0] == 200, timeout=20))


@unittest.skipUnless(isolation.can_mount(), isolation.NO_MOUNTS)
class SmallSpool(unittest.TestCase):
    KEPT_FREE = 64 << 20  # what the server keeps free in the spool's file system

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="dictate-spool-")
        isolation.mount_tmpfs(self.folder, "80m")
        self.addCleanup(os.rmdir, self.folder)
        self.addCleanup(isolation.unmount, self.folder)

    def used(self):
        space = os.statvfs(self.folder)
        return (space.f_blocks - space.f_bfree) * space.f_frsize

    def serve(self):
        server = Server("--port", "0")
        server.env = dict(server.env, TMPDIR=self.folder)
        return server

    def test_uploads_the_spool_has_no_room_for_get_507(self):
        wav = silent_wav(10, 48000)  # 0.96 MB
        body, headers = multipart([("audio", wav)], BOUNDARY)
        with self.serve() as server:
            status, reply = server.request("POST", "/transcribe", body, headers)
            self.assertEqual(status, 200, reply)
            # More than the room left above what is kept free: refused before the body is sent.
            with socket.create_connection((HOST, server.port), timeout=10) as sock:
                sock.sendall(post_head(20 * 10**6))
                reply = read_all(sock)
            self.assertEqual(status_of(reply), 507, reply)
            self.assertIn(self.folder.encode(), reply)
            logged = wait_until(lambda: any("-> 507" in line and "no room" in line for line in server.lines))
            self.assertTrue(logged, server.lines)

            # The file system fills up while a body arrives: 507 then too, and the server carries on.
            with socket.create_connection((HOST, server.port), timeout=10) as sock:
                sock.sendall(post_head(len(body)) + body[:len(body) // 2])
                self.assertTrue(wait_until(lambda: self.used() >= 256 << 10), "the upload never reached the spool")
                with open(os.path.join(self.folder, "filler"), "wb") as filler:
                    try:
                        while True:
                            filler.write(b"\0" * (1 << 20))
                            filler.flush()
                    except OSError:
                        pass
                try:
                    sock.sendall(body[len(body) // 2:])
                except (BrokenPipeError, ConnectionResetError):
                    pass
                reply = read_all(sock)
            self.assertEqual(status_of(reply), 507, reply)
            os.remove(os.path.join(self.folder, "filler"))
            status, reply = server.request("POST", "/transcribe", body, headers)
            self.assertEqual(status, 200, reply)


if __name__ == "__main__":
    isolation.isolate(sys.argv)
    server_process.SERVER = sys.argv[1]
    unittest.main(argv=[sys.argv[0], "-v"])
