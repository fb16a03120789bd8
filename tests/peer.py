"""Loopback HTTP peer for the test suite.

A small threaded HTTP/1.1 server on 127.0.0.1 that records every raw request
and answers from a script the test supplies.  It reads requests by hand
(rather than through ``http.server``) so that answers can misbehave at the
byte level: reset the connection, stop half way, trickle, never end.

Stdlib only; works on Python 3.11 and 3.12.
"""

from __future__ import annotations

import errno
import itertools
import os
import socket
import struct
import threading
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from http import HTTPStatus
from urllib.parse import parse_qsl

__all__ = [
    "Peer",
    "Recorded",
    "Part",
    "Answer",
    "page",
    "redirect",
    "close_before",
    "close_during",
    "slow",
    "endless",
    "huge",
    "redirect_loop",
    "form_fields",
    "multipart_parts",
    "closed_port",
    "open_fds",
]

# Short socket timeouts let every blocking call notice stop() promptly.
_POLL = 0.2
_MAX_HEAD = 64 * 1024

Headers = list[tuple[str, str]]


def _header(headers: Iterable[tuple[str, str]], name: str, default=None):
    lname = name.lower()
    for k, v in headers:
        if k.lower() == lname:
            return v
    return default


@dataclass
class Recorded:
    """One request as it arrived."""

    method: str
    path: str
    headers: Headers
    body: bytes
    conn: int = 0  # serial number of the TCP connection it came on
    version: str = "HTTP/1.1"

    def header(self, name: str, default=None) -> str | None:
        """First value of header ``name`` (case-insensitive), or ``default``."""
        return _header(self.headers, name, default)

    def header_all(self, name: str) -> list[str]:
        lname = name.lower()
        return [v for k, v in self.headers if k.lower() == lname]


class _Closed(Exception):
    """The client went away or the peer is stopping."""


class _Conn:
    """Buffered reader/writer over one accepted socket."""

    def __init__(self, sock: socket.socket, stopping: threading.Event):
        self.sock = sock
        self.stopping = stopping
        self.buf = bytearray()  # appended in place: a large body stays linear
        sock.settimeout(_POLL)

    def _fill(self) -> bool:
        while True:
            if self.stopping.is_set():
                raise _Closed()
            try:
                data = self.sock.recv(65536)
            except TimeoutError:
                continue
            except OSError:
                raise _Closed() from None
            if not data:
                return False
            self.buf += data
            return True

    def read_until(self, marker: bytes, limit: int) -> bytes | None:
        """Bytes up to and including ``marker``; None on EOF before any byte."""
        while True:
            i = self.buf.find(marker)
            if i >= 0:
                out = bytes(self.buf[: i + len(marker)])
                del self.buf[: i + len(marker)]
                return out
            if len(self.buf) > limit:
                raise _Closed()
            if not self._fill():
                if self.buf:
                    raise _Closed()
                return None

    def read_exact(self, n: int) -> bytes:
        while len(self.buf) < n:
            if not self._fill():
                raise _Closed()
        out = bytes(self.buf[:n])
        del self.buf[:n]
        return out

    def send(self, data: bytes | memoryview) -> None:
        """Send everything, retrying on timeout so a slow reader is waited
        for, but giving up as soon as the peer is stopping."""
        view = memoryview(data)
        while view:
            if self.stopping.is_set():
                raise _Closed()
            try:
                n = self.sock.send(view)
            except TimeoutError:
                continue
            except OSError:
                raise _Closed() from None
            view = view[n:]

    def wait(self, seconds: float) -> None:
        if self.stopping.wait(seconds):
            raise _Closed()

    def reset(self) -> None:
        # Linger 0 makes close() send RST instead of FIN.
        try:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass


def _read_request(conn: _Conn) -> tuple[str, str, str, Headers, bytes] | None:
    while True:
        head = conn.read_until(b"\r\n\r\n", _MAX_HEAD)
        if head is None:
            return None
        # Tolerate stray CRLFs between pipelined requests.
        head = head.lstrip(b"\r\n")
        if head:
            break
    lines = head.decode("latin-1").split("\r\n")
    parts = lines[0].split(" ")
    if len(parts) != 3:
        raise _Closed()
    method, target, version = parts
    headers: Headers = []
    for line in lines[1:]:
        if not line:
            continue
        if line[0] in " \t" and headers:  # obsolete line folding
            k, v = headers[-1]
            headers[-1] = (k, v + " " + line.strip())
            continue
        name, sep, value = line.partition(":")
        if not sep:
            raise _Closed()
        headers.append((name.strip(), value.strip()))

    if (_header(headers, "Expect", "") or "").lower() == "100-continue":
        conn.send(b"HTTP/1.1 100 Continue\r\n\r\n")

    te = (_header(headers, "Transfer-Encoding", "") or "").lower()
    if "chunked" in te:
        body = bytearray()
        while True:
            line = conn.read_until(b"\r\n", _MAX_HEAD)
            if line is None:
                raise _Closed()
            size = int(line.split(b";", 1)[0].strip() or b"0", 16)
            if size == 0:
                # Trailers, ended by an empty line.
                while True:
                    t = conn.read_until(b"\r\n", _MAX_HEAD)
                    if t is None or t == b"\r\n":
                        break
                break
            body += conn.read_exact(size)
            conn.read_exact(2)
        return method, target, version, headers, bytes(body)
    length = _header(headers, "Content-Length")
    body = conn.read_exact(int(length)) if length else b""
    return method, target, version, headers, body


def _wants_close(rec: Recorded) -> bool:
    tokens = (rec.header("Connection", "") or "").lower()
    if rec.version == "HTTP/1.0":
        return "keep-alive" not in tokens
    return "close" in tokens


def _head_bytes(status: int, headers: Headers) -> bytes:
    try:
        reason = HTTPStatus(status).phrase
    except ValueError:
        reason = "Status"
    lines = [f"HTTP/1.1 {status} {reason}"]
    lines += [f"{k}: {v}" for k, v in headers]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


# --------------------------------------------------------------------------
# Answers


class Answer:
    """Base of all answers.  ``serve`` writes the answer and returns whether
    the connection may carry another request."""

    def serve(self, conn: _Conn, rec: Recorded, peer: Peer) -> bool:
        raise NotImplementedError


def _merge(defaults: Headers, extra: Headers | None) -> Headers:
    extra = list(extra or [])
    given = {k.lower() for k, _ in extra}
    return [(k, v) for k, v in defaults if k.lower() not in given] + extra


class page(Answer):
    """A complete answer with a body and Content-Length.  Bytes are sent
    exactly; a str is encoded as UTF-8."""

    def __init__(
        self,
        body: str | bytes = b"",
        status: int = 200,
        headers: Headers | None = None,
        content_type: str | None = "text/html; charset=utf-8",
    ):
        self.body = body.encode("utf-8") if isinstance(body, str) else bytes(body)
        self.status = status
        self.headers = list(headers or [])
        self.content_type = content_type

    def serve(self, conn, rec, peer):
        close = _wants_close(rec)
        base = []
        if self.content_type is not None:
            base.append(("Content-Type", self.content_type))
        hdrs = _merge(base, self.headers)
        hdrs.append(("Content-Length", str(len(self.body))))
        if close:
            hdrs.append(("Connection", "close"))
        data = _head_bytes(self.status, hdrs)
        if rec.method != "HEAD":
            data += self.body
        conn.send(data)
        return not close


def redirect(
    location: str, status: int = 302, set_cookie: None | str | Iterable[str] = None, headers: Headers | None = None
) -> page:
    hdrs: Headers = [("Location", location)]
    if isinstance(set_cookie, str):
        set_cookie = [set_cookie]
    hdrs += [("Set-Cookie", c) for c in (set_cookie or [])]
    hdrs += list(headers or [])
    return page(b"", status=status, headers=hdrs)


class close_before(Answer):
    """Read the request, then close without sending a byte: RST by default,
    a clean FIN with ``reset=False``."""

    def __init__(self, reset: bool = True):
        self.reset = reset

    def serve(self, conn, rec, peer):
        if self.reset:
            conn.reset()
        return False


class close_during(Answer):
    """Status line and headers promising ``length`` bytes (default: far more
    than ``nbytes``), then ``nbytes`` of body, then close (FIN) or reset."""

    def __init__(
        self,
        nbytes: int = 100,
        length: int | None = None,
        reset: bool = False,
        status: int = 200,
        content_type: str = "text/html; charset=utf-8",
    ):
        self.nbytes = nbytes
        self.length = length if length is not None else nbytes * 10 + 1000
        if self.length <= nbytes:
            raise ValueError("length must exceed nbytes")
        self.reset = reset
        self.status = status
        self.content_type = content_type

    def serve(self, conn, rec, peer):
        hdrs = [("Content-Type", self.content_type), ("Content-Length", str(self.length))]
        conn.send(_head_bytes(self.status, hdrs) + b"x" * self.nbytes)
        if self.reset:
            # Give the client a moment to take the head in, so the fault
            # lands in the body rather than before the status line.
            conn.wait(0.05)
            conn.reset()
        return False


class slow(Answer):
    """Full headers at once (after ``before`` seconds), then the body in
    ``pieces`` parts spread over ``delay`` seconds in total."""

    def __init__(
        self,
        body: str | bytes,
        delay: float,
        pieces: int = 10,
        before: float = 0.0,
        status: int = 200,
        content_type: str = "text/html; charset=utf-8",
    ):
        self.body = body.encode("utf-8") if isinstance(body, str) else bytes(body)
        self.delay = max(0.0, delay)
        self.pieces = max(1, min(pieces, len(self.body) or 1))
        self.before = before
        self.status = status
        self.content_type = content_type

    def serve(self, conn, rec, peer):
        if self.before:
            conn.wait(self.before)
        close = _wants_close(rec)
        hdrs = [("Content-Type", self.content_type), ("Content-Length", str(len(self.body)))]
        if close:
            hdrs.append(("Connection", "close"))
        conn.send(_head_bytes(self.status, hdrs))
        step = -(-len(self.body) // self.pieces) if self.body else 0
        pause = self.delay / self.pieces
        for i in range(self.pieces):
            conn.wait(pause)
            if step:
                conn.send(self.body[i * step : (i + 1) * step])
        return not close


class endless(Answer):
    """Headers, then ``chunk`` forever (every ``interval`` seconds; 0 floods)
    until the client goes away or the peer stops.  Chunked framing by
    default; ``chunked=False`` sends no length and never closes."""

    def __init__(
        self,
        chunk: bytes = b"<p>more</p>\n" * 512,
        interval: float = 0.0,
        chunked: bool = True,
        content_type: str = "text/html; charset=utf-8",
    ):
        if not chunk:
            raise ValueError("chunk must not be empty")
        self.chunk = chunk
        self.interval = interval
        self.chunked = chunked
        self.content_type = content_type

    def serve(self, conn, rec, peer):
        hdrs = [("Content-Type", self.content_type)]
        if self.chunked:
            hdrs.append(("Transfer-Encoding", "chunked"))
            piece = b"%x\r\n%s\r\n" % (len(self.chunk), self.chunk)
        else:
            hdrs.append(("Connection", "close"))
            piece = self.chunk
        conn.send(_head_bytes(200, hdrs))
        while True:
            conn.send(piece)
            if self.interval:
                conn.wait(self.interval)


class huge(Answer):
    """A valid 200 answer of exactly ``size`` ASCII bytes, streamed from one
    repeated block so memory stays small whatever the size."""

    _LINE = b"<p>velka test peer filler line, plain ASCII text.</p>\n"

    def __init__(self, size: int, content_type: str = "text/html; charset=utf-8"):
        self.size = size
        self.content_type = content_type
        reps = max(1, (256 * 1024) // len(self._LINE))
        self.block = memoryview(self._LINE * reps)

    def serve(self, conn, rec, peer):
        close = _wants_close(rec)
        hdrs = [("Content-Type", self.content_type), ("Content-Length", str(self.size))]
        if close:
            hdrs.append(("Connection", "close"))
        conn.send(_head_bytes(200, hdrs))
        if rec.method == "HEAD":
            return not close
        left = self.size
        while left:
            n = min(left, len(self.block))
            conn.send(self.block[:n])
            left -= n
        return not close


class redirect_loop(Answer):
    """Every request gets a 302 to the next path of an endless series."""

    def __init__(self, prefix: str = "/loop/", status: int = 302):
        self.prefix = prefix
        self.status = status
        self._count = itertools.count(1)
        self._lock = threading.Lock()

    def serve(self, conn, rec, peer):
        with self._lock:
            n = next(self._count)
        return redirect(f"{self.prefix}{n}", self.status).serve(conn, rec, peer)


AnswerLike = Answer | Callable[[Recorded], Answer]


def _default_answer() -> Answer:
    return page("<!DOCTYPE html><html><head><title></title></head><body></body></html>")


# --------------------------------------------------------------------------
# The server


def _path_matches(pattern: str | None, target: str) -> bool:
    if pattern is None:
        return True
    if pattern.endswith("*"):
        return target.startswith(pattern[:-1])
    if "?" in pattern:
        return pattern == target
    return pattern == target.split("?", 1)[0]


class Peer:
    """Threaded loopback HTTP server.  Use as a context manager or call
    ``start()``/``stop()``."""

    def __init__(self, host: str = "127.0.0.1"):
        self.host = host
        self._stopping = threading.Event()
        self._lock = threading.Lock()
        self._requests: list[Recorded] = []
        self._queue: list[AnswerLike] = []
        self._rules: list[tuple[str | None, str | None, AnswerLike]] = []
        self._threads: list[threading.Thread] = []
        self._socks: set[socket.socket] = set()
        self._conn_serial = itertools.count(1)
        self._listener: socket.socket | None = None
        self._acceptor: threading.Thread | None = None
        self.connections = 0
        self.port = 0

    # -- scripting --------------------------------------------------------

    @property
    def url(self) -> str:
        return f"http://{self.host}:{self.port}"

    @property
    def requests(self) -> list[Recorded]:
        with self._lock:
            return list(self._requests)

    def route(self, method: str | None, path: str | None, answer: AnswerLike) -> None:
        """Add a rule; first match wins; None matches anything.  ``path``
        matches the target without its query unless it contains '?'; a
        trailing '*' makes it a prefix."""
        with self._lock:
            self._rules.append((method.upper() if method else None, path, answer))

    def queue(self, *answers: AnswerLike) -> None:
        """Answers used one per request, in order, before any rule."""
        with self._lock:
            self._queue.extend(answers)

    def _choose(self, rec: Recorded) -> Answer:
        with self._lock:
            if self._queue:
                answer = self._queue.pop(0)
            else:
                answer = next(
                    (
                        a
                        for m, p, a in self._rules
                        if (m is None or m == rec.method.upper()) and _path_matches(p, rec.path)
                    ),
                    None,
                )
        if answer is None:
            return _default_answer()
        if not isinstance(answer, Answer):
            answer = answer(rec)
        return answer

    # -- lifecycle --------------------------------------------------------

    def start(self) -> Peer:
        ls = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        ls.bind((self.host, 0))
        ls.listen(64)
        ls.settimeout(_POLL)
        self._listener = ls
        self.port = ls.getsockname()[1]
        self._acceptor = threading.Thread(target=self._accept_loop, name=f"peer-accept-{self.port}", daemon=True)
        self._acceptor.start()
        return self

    def stop(self, timeout: float = 5.0) -> None:
        """Stop accepting, wake and end every connection thread, close every
        socket.  Raises if a thread outlives ``timeout``."""
        self._stopping.set()
        with self._lock:
            socks = list(self._socks)
        if self._listener is not None:
            # Wakes a blocked accept() at once on Linux; elsewhere the poll
            # timeout does it.
            socks.append(self._listener)
        for s in socks:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        deadline = time.monotonic() + timeout
        if self._acceptor is not None:
            self._acceptor.join(max(0.0, deadline - time.monotonic()))
        with self._lock:
            threads = list(self._threads)
        for t in threads:
            t.join(max(0.0, deadline - time.monotonic()))
        alive = [t.name for t in threads + [self._acceptor] if t is not None and t.is_alive()]
        if alive:
            raise RuntimeError(f"peer threads still running: {alive}")

    def __enter__(self) -> Peer:
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    def _accept_loop(self) -> None:
        ls = self._listener
        try:
            while not self._stopping.is_set():
                try:
                    sock, _ = ls.accept()
                except TimeoutError:
                    continue
                except OSError as e:
                    if e.errno in (errno.EINTR, errno.ECONNABORTED):
                        continue
                    break
                serial = next(self._conn_serial)
                t = threading.Thread(
                    target=self._handle, args=(sock, serial), name=f"peer-conn-{self.port}-{serial}", daemon=True
                )
                # Started under the lock so stop() never sees (and tries to
                # join) a thread that has not started yet.
                with self._lock:
                    self.connections += 1
                    self._socks.add(sock)
                    self._threads = [x for x in self._threads if x.is_alive()]
                    self._threads.append(t)
                    t.start()
        finally:
            ls.close()

    def _handle(self, sock: socket.socket, serial: int) -> None:
        conn = _Conn(sock, self._stopping)
        try:
            while True:
                got = _read_request(conn)
                if got is None:
                    break
                method, target, version, headers, body = got
                rec = Recorded(method, target, headers, body, serial, version)
                with self._lock:
                    self._requests.append(rec)
                if not self._choose(rec).serve(conn, rec, self):
                    break
        except (_Closed, ValueError):
            pass
        finally:
            with self._lock:
                self._socks.discard(sock)
            try:
                sock.close()
            except OSError:
                pass


# --------------------------------------------------------------------------
# Body parsing helpers for assertions


def form_fields(rec: Recorded, encoding: str = "utf-8") -> list[tuple[str, str]]:
    """Fields of an application/x-www-form-urlencoded body, in body order."""
    ctype = (rec.header("Content-Type", "") or "").lower()
    if ctype and not ctype.startswith("application/x-www-form-urlencoded"):
        raise ValueError(f"not a URL-encoded form: {ctype!r}")
    return parse_qsl(
        rec.body.decode("ascii"), keep_blank_values=True, strict_parsing=False, encoding=encoding, errors="strict"
    )


@dataclass
class Part:
    name: str | None
    filename: str | None
    content_type: str | None
    data: bytes
    headers: Headers = field(default_factory=list)


def _params(value: str) -> tuple[str, dict[str, str]]:
    """Split 'type; a=b; c="d;e"' into ('type', {'a': 'b', 'c': 'd;e'})."""
    items: list[str] = []
    cur, quoted, escaped = [], False, False
    for ch in value:
        if escaped:
            cur.append(ch)
            escaped = False
        elif quoted and ch == "\\":
            cur.append(ch)
            escaped = True
        elif ch == '"':
            cur.append(ch)
            quoted = not quoted
        elif ch == ";" and not quoted:
            items.append("".join(cur))
            cur = []
        else:
            cur.append(ch)
    items.append("".join(cur))
    main = items[0].strip()
    params: dict[str, str] = {}
    for item in items[1:]:
        k, sep, v = item.partition("=")
        if not sep:
            continue
        v = v.strip()
        if len(v) >= 2 and v[0] == v[-1] == '"':
            inner, out, i = v[1:-1], [], 0
            while i < len(inner):
                if inner[i] == "\\" and i + 1 < len(inner):
                    i += 1
                out.append(inner[i])
                i += 1
            v = "".join(out)
        params[k.strip().lower()] = v
    return main, params


def multipart_parts(rec: Recorded) -> list[Part]:
    """Parts of a multipart/form-data body, in body order, data exact."""
    ctype, params = _params(rec.header("Content-Type", "") or "")
    if not ctype.lower().startswith("multipart/") or "boundary" not in params:
        raise ValueError(f"not a multipart body: {rec.header('Content-Type')!r}")
    delim = b"\r\n--" + params["boundary"].encode("latin-1")
    chunks = (b"\r\n" + rec.body).split(delim)
    if len(chunks) < 2 or not chunks[-1].startswith(b"--"):
        raise ValueError("multipart body has no closing delimiter")
    parts = []
    for chunk in chunks[1:-1]:
        # Transport padding after the delimiter, then CRLF.
        eol = chunk.find(b"\r\n")
        if eol < 0 or chunk[:eol].strip(b" \t"):
            raise ValueError("malformed multipart delimiter line")
        chunk = chunk[eol + 2 :]
        if chunk.startswith(b"\r\n"):
            raw_head, data = b"", chunk[2:]
        else:
            raw_head, sep, data = chunk.partition(b"\r\n\r\n")
            if not sep:
                raise ValueError("multipart part without header end")
        try:
            head_text = raw_head.decode("utf-8")
        except UnicodeDecodeError:
            head_text = raw_head.decode("latin-1")
        headers = []
        for line in head_text.split("\r\n"):
            if line:
                k, _, v = line.partition(":")
                headers.append((k.strip(), v.strip()))
        _, disp = _params(_header(headers, "Content-Disposition", "") or "")
        parts.append(Part(disp.get("name"), disp.get("filename"), _header(headers, "Content-Type"), data, headers))
    return parts


# --------------------------------------------------------------------------
# Misc helpers


def closed_port(host: str = "127.0.0.1") -> str:
    """A loopback URL on which nothing listens (for refused connections)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        s.bind((host, 0))
        port = s.getsockname()[1]
    finally:
        s.close()
    return f"http://{host}:{port}"


def open_fds() -> int | None:
    """Number of file descriptors this process holds open; None on Windows,
    which has no such listing (under Wine, /dev/fd is Wine's own process)."""
    if os.name == "nt":
        return None
    for d in ("/proc/self/fd", "/dev/fd"):
        if os.path.isdir(d):
            return len(os.listdir(d))
    raise OSError("no way to list open file descriptors on this platform")
