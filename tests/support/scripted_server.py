"""The scripted transcription server of the Python tests and benchmarks: it listens on 127.0.0.1 (port 4999
unless told otherwise), records every request as it arrived, and answers each one from a script. A reply
that `hang_up`s closes the connection without a word; one that keeps the connection open without a word, as
the C++ tests' LoopbackHttpServer does for `stay_silent`, is a long `delay`."""

import socket
import struct
import threading
import time


class Reply:
    """One scripted answer. `cut` sends only the first half of the body, then closes the connection;
    `hang_up` closes without answering; `delay` waits before answering; `reset` resets the connection while
    the upload is still arriving; `head_only` sends the reply's headers but none of its body; `repeat` sends
the body that many times over as one body (for replies too big to hold), until the client stops reading.
`busy` resets the connection once the request's head is in, reading no more, as a server with all its
connections taken does; `reason` and `headers` (raw lines) are written into the head as given; `stall`
stops after the first half of the body and keeps the connection open without a word; `unframed` sends no
Content-Length and keeps the connection open after the body. `early` answers a chunked upload once that
many bytes of its body have come, without waiting for its end, and then goes on reading it."""

    def __init__(self, body=b"", status=200, content_type="application/json", cut=False, hang_up=False,
                 delay=0.0, reset=False, head_only=False, repeat=1, busy=False, reason=b"X", headers=(),
                 stall=False, unframed=False, early=None):
        self.body = body.encode() if isinstance(body, str) else body
        self.status, self.content_type = status, content_type
        self.cut, self.hang_up, self.delay = cut, hang_up, delay
        self.reset, self.head_only, self.repeat = reset, head_only, repeat
        self.busy, self.reason, self.headers = busy, reason, list(headers)
        self.stall, self.unframed, self.early = stall, unframed, early


def text_reply(text):
    import json
    return Reply(json.dumps({"text": text}))


def words_event(text):
    """A live-words event carrying the take's text so far."""
    import json
    return b"event: words\ndata: " + json.dumps({"text": text}).encode() + b"\n\n"


class EventsRequest:
    """A client's GET of a take's live words, held open with a chunked event stream: `send` hands the
    stream raw bytes, `end` finishes it as a server does when the take's decoding ends, `drop` resets the
    connection. `closed_by_client` is set once the client has closed it."""

    def __init__(self, server, request):
        self.request = request
        self.take_id = request.request_line.split()[1].rsplit("/", 1)[1]
        self.closed_by_client = False
        self._server = server
        self._actions = []

    def _act(self, action):
        with self._server.lock:
            self._actions.append(action)
            self._server.changed.notify_all()

    def send(self, data):
        self._act(("send", data))

    def end(self):
        self._act(("send", b"event: end\ndata: {}\n\n"))
        self._act(("end", None))

    def drop(self):
        self._act(("drop", None))


class _Closed(Exception):
    """The connection or the server closed while a chunked body was still coming."""


class Request:
    def __init__(self, head, body):
        lines = head.decode("latin-1").split("\r\n")
        self.request_line = lines[0]
        self.headers = {}
        for line in lines[1:]:
            if ":" in line:
                name, value = line.split(":", 1)
                self.headers[name.strip().lower()] = value.strip()
        self.body = body
        self.chunked = self.headers.get("transfer-encoding", "").lower() == "chunked"
        # A chunked upload is `open` until its body has ended or the client has broken it off (`broken_off`,
        # its `body` then what had come). Any other request of a streaming server counts in `streams_open`
        # the chunked ones that were still open when it arrived.
        self.open = self.chunked
        self.broken_off = False
        self.streams_open = 0

    def parts(self):
        """The multipart form's parts as (headers dict, content bytes)."""
        ctype = self.headers.get("content-type", "")
        if "boundary=" not in ctype:
            return []
        boundary = b"--" + ctype.split("boundary=", 1)[1].strip('"').encode()
        pieces = self.body.split(boundary)
        parts = []
        for piece in pieces[1:]:
            if piece.startswith(b"--"):
                break
            head, _, content = piece[2:].partition(b"\r\n\r\n")
            headers = {}
            for line in head.decode("latin-1").split("\r\n"):
                name, _, value = line.partition(":")
                headers[name.strip().lower()] = value.strip()
            parts.append((headers, content[:-2] if content.endswith(b"\r\n") else content))
        return parts


class ScriptedServer:
    """Serves `script` in order, then `default` (None: hang up) to every later request; closed on leaving
    the `with` block. GET /health is answered apart, from neither: 404, as a server that knows nothing of
    streamed takes, or with `streaming` the reply that offers them (and, with `take_series` too, series of
    takes); `health_checks` counts them. A chunked
    upload's body is recorded without its chunk framing, and the request marked `chunked`; every chunked
    upload, also one broken off (which `requests` leaves out), is in `streams` from its head's arrival.
    A streaming server serves each connection on a thread of its own, as a server must to hear anything
    while a take streams to it. With `tls` (an ssl.SSLContext for a server) it speaks https; a client that
    refuses its certificate leaves no request behind. With `live_words` (and `streaming`) its health offers
    live words too; every GET of a take's live words is in `events` (an EventsRequest), answered 404 by a
    server that does not offer them."""

    def __init__(self, script, port=4999, default=None, streaming=False, tls=None, live_words=False, take_series=False):
        self.tls = tls
        self.take_series = take_series
        self.script = list(script)
        self.default = default
        self.streaming = streaming
        self.live_words = live_words
        self.events = []
        self.health_checks = 0
        self.streams_begun = 0  # chunked uploads whose head has arrived
        self.streams = []
        self.requests = []
        self.lock = threading.Lock()
        self.changed = threading.Condition(self.lock)
        self.connections = []
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            self.sock.bind(("127.0.0.1", port))
        except OSError as e:
            self.sock.close()
            raise RuntimeError(f"port {port} on 127.0.0.1 is taken ({e}); stop whatever listens there "
                               "or run the tests as root, which gives them a private network") from e
        self.sock.listen(8)
        self.sock.settimeout(0.1)
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def close(self):
        with self.lock:
            self.running = False
            self.changed.notify_all()
        self.thread.join()
        for connection in self.connections:
            connection.join()
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def count(self):
        with self.lock:
            return len(self.requests)

    def _serve(self):
        while self.running:
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            if self.streaming:
                self.connections = [c for c in self.connections if c.is_alive()]
                self.connections.append(threading.Thread(target=self._serve_one, args=(conn,), daemon=True))
                self.connections[-1].start()
            else:
                self._serve_one(conn)

    def _serve_one(self, conn):
        with conn:
            conn.settimeout(30)
            try:
                if self.tls is None:
                    self._answer(conn)
                else:
                    with self.tls.wrap_socket(conn, server_side=True) as secured:
                        self._answer(secured)
            except OSError:  # ssl.SSLError too: a handshake the client broke off
                pass

    def _answer_health(self, conn):
        with self.lock:
            self.health_checks += 1
        if self.streaming:
            offers = b',"live_words":true' if self.live_words else b""
            offers += b',"take_series":true' if self.take_series else b""
            body = b'{"status":"ok","streaming":true%s}' % offers
            head = b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
        else:
            body = b'{"error":"not found"}'
            head = b"HTTP/1.1 404 Not Found\r\nContent-Type: application/json\r\n"
        conn.sendall(head + b"Content-Length: %d\r\nConnection: close\r\n\r\n" % len(body) + body)

    def _answer_events(self, conn, request):
        events = EventsRequest(self, request)
        with self.lock:
            self.events.append(events)
            self.changed.notify_all()
        if not self.live_words:
            body = b'{"error":"not found"}'
            conn.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Type: application/json\r\nContent-Length: %d\r\n"
                         b"Connection: close\r\n\r\n" % len(body) + body)
            return
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
                     b"Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n")
        conn.settimeout(0.05)
        while True:
            with self.lock:
                self.changed.wait_for(lambda: events._actions or not self.running, timeout=0.05)
                if not self.running:
                    return
                actions, events._actions = events._actions, []
            for action, data in actions:
                if action == "send":
                    conn.sendall(b"%x\r\n" % len(data) + data + b"\r\n")
                elif action == "end":
                    conn.sendall(b"0\r\n\r\n")
                    return
                else:
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    return
            try:
                if conn.recv(65536):
                    continue
            except socket.timeout:
                continue
            except OSError:
                pass
            with self.lock:
                events.closed_by_client = True
                self.changed.notify_all()
            return

    def _read_chunked(self, conn, data, request, early=None, answer=None):
        """The body of a chunked upload, `data` being what came after the head, kept in `request.body` as it
        comes; `answer()` is called once `early` bytes of it have come. Raises _Closed when the client or
        the server closed first."""
        conn.settimeout(0.1)
        while True:
            while b"\r\n" not in data:
                data += self._receive(conn)
            size_line, _, data = data.partition(b"\r\n")
            size = int(size_line.split(b";")[0], 16)
            while len(data) < size + 2:
                data += self._receive(conn)
            if size == 0:
                return request.body
            request.body += data[:size]
            data = data[size + 2:]
            if early is not None and len(request.body) >= early:
                answer()
                early = None

    def _receive(self, conn):
        while True:
            if not self.running:
                raise _Closed()
            try:
                chunk = conn.recv(1 << 20)
            except socket.timeout:
                continue
            except OSError:  # reset by the client
                raise _Closed()
            if not chunk:
                raise _Closed()
            return chunk

    def _stream_ended(self, request, broken_off):
        with self.lock:
            request.open = False
            request.broken_off = broken_off
            self.changed.notify_all()

    def _count_open_streams(self, request):
        """Sets request.streams_open. A stream the client closed just before this request can take its
        thread a moment to notice, so open ones are given a few seconds to be seen ending."""
        with self.lock:
            self.changed.wait_for(lambda: not any(s.open for s in self.streams) or not self.running,
                                  timeout=5)
            request.streams_open = sum(s.open for s in self.streams)

    def _reply_head(self, reply):
        length = b"" if reply.unframed else b"Content-Length: %d\r\n" % (len(reply.body) * reply.repeat)
        return (b"HTTP/1.1 %d %s\r\nContent-Type: %s\r\n%sConnection: close\r\n" %
                (reply.status, reply.reason, reply.content_type.encode(), length) +
                b"".join(line + b"\r\n" for line in reply.headers) + b"\r\n")

    def _answer(self, conn):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(65536)
            if not chunk:
                return
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        request = Request(head, b"")
        if request.request_line.startswith("GET /health "):
            self._answer_health(conn)
            return
        if request.request_line.startswith("GET /transcribe/events/"):
            self._answer_events(conn, request)
            return
        with self.lock:
            busy = bool(self.script) and self.script[0].busy
            if busy:
                self.script.pop(0)
        if busy:
            # Reset with the rest of the request unread, as a server with all its connections taken does.
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return
        with self.lock:
            reply = self.script.pop(0) if self.script else self.default
        if reply is not None and reply.reset:
            with self.lock:
                self.requests.append(request)
            # Linger 0: close() sends RST at once, with most of the upload still unread.
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return
        if request.chunked:
            with self.lock:
                self.streams_begun += 1
                self.streams.append(request)
            early = reply is not None and reply.early is not None
            try:
                body = self._read_chunked(conn, body, request, reply.early if early else None,
                                          lambda: conn.sendall(self._reply_head(reply) + reply.body))
            except (_Closed, OSError):
                self._stream_ended(request, broken_off=True)
                # Closed while the upload was still coming, as a server that dies would leave it.
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                return
            self._stream_ended(request, broken_off=False)
            conn.settimeout(30)
            if early:
                with self.lock:
                    self.requests.append(request)
                return
        elif self.streaming:
            self._count_open_streams(request)
        length = int(request.headers.get("content-length", "0"))
        while len(body) < length:
            chunk = conn.recv(1 << 20)
            if not chunk:
                break
            body += chunk
        request.body = body
        with self.lock:
            self.requests.append(request)
        if reply is None or reply.hang_up:
            return
        # Waited out in steps, so closing the server does not wait for a reply nobody is left to read.
        deadline = time.monotonic() + reply.delay
        while self.running and time.monotonic() < deadline:
            time.sleep(0.05)
        if not self.running:
            return
        head = self._reply_head(reply)
        if reply.head_only:
            conn.sendall(head)
            return
        conn.sendall(head + (reply.body[: len(reply.body) // 2] if reply.cut or reply.stall else reply.body))
        for _ in range(reply.repeat - 1):
            conn.sendall(reply.body)
        if reply.stall or reply.unframed:
            # Held open, as a server that hangs would, until the client leaves or the server closes.
            conn.settimeout(0.1)
            while self.running:
                try:
                    if not conn.recv(65536):
                        return
                except socket.timeout:
                    continue
