"""One record per request of a dialogue with the site: what was sent and what
came back, each answer read once into its page (`trasko.site`) and fed to
the dialogue's judge (`trasko.judge`) as soon as it is in.

- The module's upload dialogue (`velka.envoi_tournoi`) runs inside
  `Recorder.installed()`, which puts wrappers in place of the module's
  globals `Session` and `read_url` for that time (the module looks them up at
  every call, so it sends and prints exactly what it would alone);
  `recorder.run(call, judge)` runs it. Once the judge knows the outcome, the
  next request is not sent and the dialogue ends.
- A dialogue of the command's own sends through `send` on a
  `RecordingSession`, in the module's own `read_url`.

Either way every request carries the connect and read time-outs of
`Timeouts`, and a network failure is recorded as its cause in plain French.
"""

from __future__ import annotations

import http.client
import os
import socket
import ssl
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any
from urllib.parse import urlsplit

from trasko import messages, site
from trasko.site import Page

if TYPE_CHECKING:
    from trasko.judge import Judge

# The upload's body leaves in one call of the HTTP library, under the connect
# time-out: an upload is given, beyond it, the time to send its file at this
# rate (bytes per second, about 200 kbit/s: a slow rural line's upstream).
SLOW_LINE = 25_000
DEFAULT_WAIT = 60.0


@dataclass(frozen=True)
class Timeouts:
    """How long the site may stay silent: to connect, and between two pieces of its answer."""

    wait: float = DEFAULT_WAIT

    def for_request(self, sent: int) -> tuple[float, float]:
        return (self.wait + sent / SLOW_LINE, self.wait)


@dataclass
class Exchange:
    """One request and what came back."""

    method: str
    path: str
    sent: int = 0  # bytes of the files in the request
    status: int | None = None
    final_url: str | None = None  # after redirects
    page: Page | None = None  # None when no answer came
    undecodable: bool = False  # the answer is not UTF-8
    error: str | None = None  # the network failure, in French
    silent_after: float | None = None  # the time-out that ended the wait, in seconds
    unsent: str | None = None  # why the request never left

    @property
    def kind(self) -> str | None:
        return self.page.kind if self.page is not None else None


class Stopped(Exception):
    """Raised by the wrappers in place of a request once the dialogue's outcome is known."""


class RecordingSession:
    """A `requests` session whose requests carry the time-outs and are recorded."""

    def __init__(self, timeouts: Timeouts, judge: Judge, inner: Any) -> None:
        self._inner = inner
        self._timeouts = timeouts
        self.judge = judge

    def get(self, url: str, **kwargs: Any) -> Any:
        return self._send("GET", url, kwargs)

    def post(self, url: str, **kwargs: Any) -> Any:
        return self._send("POST", url, kwargs)

    def _send(self, method: str, url: str, kwargs: dict[str, Any]) -> Any:
        exchange = Exchange(method, urlsplit(url).path or "/", _size(kwargs.get("files")))
        connect, read = self._timeouts.for_request(exchange.sent)
        kwargs.setdefault("timeout", (connect, read))
        try:
            response = getattr(self._inner, method.lower())(url, **kwargs)
        except Exception as error:
            exchange.error, exchange.silent_after = network_cause(error, connect, read)
            self.judge.feed(exchange)
            raise
        try:
            exchange.status, exchange.final_url = response.status_code, response.url
            exchange.page = site.read_page(response.content.decode(), site.base_url())
        except UnicodeDecodeError:
            exchange.undecodable = True
        finally:
            self.judge.feed(exchange)
        return response


def send(read_url: Any, session: RecordingSession, url: str, data: Any = None, files: Any = None) -> str | None:
    """One request through the module's `read_url`; a file to send that could
    not be opened is recorded as the request that never left."""
    judge, count = session.judge, len(session.judge.exchanges)
    html: str | None = read_url(session, url, data, files=files)
    if html is None and len(judge.exchanges) == count:
        judge.feed(Exchange("POST", urlsplit(url).path or "/", unsent=_unopenable(files)))
    return html


class Recorder:
    """The module's dialogue watched: the wrappers, and the judge of the current run."""

    def __init__(self, timeouts: Timeouts) -> None:
        from trasko.judge import Judge

        import velka

        self.velka = velka
        self.timeouts = timeouts
        self.judge = Judge(())
        self._stop_after = False
        self._originals: dict[str, Any] = {}

    @contextmanager
    def installed(self) -> Iterator[None]:
        """The wrappers in the module's globals, then the originals back."""
        module = vars(self.velka)
        wrappers = {"Session": self._session, "read_url": self._read_url}
        self._originals = {name: module[name] for name in wrappers}
        module.update(wrappers)
        try:
            yield
        finally:
            module.update(self._originals)

    def run(self, call: Callable[[], object], judge: Judge, stop_after: bool = False) -> Judge:
        """Runs one dialogue (inside `installed()`) before `judge`; whatever
        ended it is in the judge's records: the exception itself is not
        needed. With `stop_after`, the dialogue also ends as soon as the
        outcome is known, before the module reads the answer."""
        self.judge, self._stop_after = judge, stop_after
        try:
            call()
        except BrokenPipeError:  # the module's print: standard output is gone
            raise
        except Exception:  # noqa: BLE001, S110 - the records say what happened
            pass
        return judge

    def _session(self) -> RecordingSession:
        return RecordingSession(self.timeouts, self.judge, self._originals["Session"]())

    def _read_url(self, session: RecordingSession, url: str, data: Any = None, files: Any = None) -> Any:
        if self.judge.known:
            raise Stopped
        html = send(self._originals["read_url"], session, url, data, files)
        if self._stop_after and self.judge.known:
            raise Stopped
        return html


def _size(files: Any) -> int:
    total = 0
    for handle in (files or {}).values():
        try:
            total += os.fstat(handle.fileno()).st_size
        except (AttributeError, OSError, ValueError):
            pass
    return total


def _unopenable(files: Any) -> str:
    # The rules are the only file an errand sends; the upload sends the Papi file.
    text = messages.RULES_UNREADABLE if site.RULES_FILE in dict(files or {}) else messages.PAPI_UNREADABLE
    for name in dict(files or {}).values():
        try:
            with open(name, "rb"):
                pass
        except OSError as error:
            return text.format(reason=file_error(error))
    return text.format(reason=messages.FILE_UNOPENABLE)


def file_error(error: OSError) -> str:
    """A file system error in plain French."""
    # Windows refuses to open a folder with a permission error.
    if isinstance(error, IsADirectoryError) or (
        isinstance(error, PermissionError) and error.filename and os.path.isdir(error.filename)
    ):
        return messages.FILE_IS_FOLDER
    if isinstance(error, PermissionError):
        return messages.FILE_DENIED
    if isinstance(error, FileNotFoundError):
        return messages.FILE_MISSING
    return error.strerror or type(error).__name__


def network_cause(error: BaseException, connect: float, read: float) -> tuple[str, float | None]:
    """The cause of a failed request without the library's wrapping, and the
    time-out that fired, if one did."""
    chain = _chain(error)
    names = {type(e).__name__ for e in chain}
    if "ReadTimeout" in names or "ReadTimeoutError" in names:
        return messages.SILENT.format(seconds=read), read
    if "ConnectTimeout" in names or "ConnectTimeoutError" in names or any(isinstance(e, TimeoutError) for e in chain):
        return messages.SILENT.format(seconds=connect), connect
    if "TooManyRedirects" in names:
        return messages.UNREACHABLE.format(cause=messages.NET_TOO_MANY_REDIRECTS), None
    return messages.UNREACHABLE.format(cause=_innermost(chain)), None


def _innermost(chain: list[BaseException]) -> str:
    causes: list[tuple[type | tuple[type, ...], str]] = [
        (ConnectionRefusedError, messages.NET_REFUSED),
        (socket.gaierror, messages.NET_NAME),
        ((http.client.RemoteDisconnected, ConnectionAbortedError, BrokenPipeError), messages.NET_CLOSED),
        (ConnectionResetError, messages.NET_RESET),
        (ssl.SSLError, messages.NET_CERTIFICATE),
    ]
    for kind, text in causes:
        if any(isinstance(e, kind) for e in chain):
            return text
    for e in reversed(chain):
        if isinstance(e, OSError) and e.strerror:
            return e.strerror
    return messages.NET_OTHER.format(name=type(chain[-1]).__name__)


def _chain(error: BaseException) -> list[BaseException]:
    """The error and every error it wraps, outermost first."""
    seen: list[BaseException] = []
    todo: list[Any] = [error]
    while todo:
        item = todo.pop(0)
        if not isinstance(item, BaseException) or any(item is known for known in seen):
            continue
        seen.append(item)
        todo += [arg for arg in item.args if isinstance(arg, BaseException)]
        todo += [getattr(item, "reason", None), item.__cause__, item.__context__]
    return seen
