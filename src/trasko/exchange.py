"""One record per request of a dialogue with the site: what was sent and what
came back. The command judges every outcome from these records alone
(`trasko.judge`), never from how far a dialogue got.

How a dialogue uses this module:

- The module's upload dialogue (`velka.envoi_tournoi`) is run inside
  `Recorder.installed()`, which puts wrappers in place of the module's
  globals `Session` and `read_url` for that time (the module looks them up at
  every call, so it sends and prints exactly what it would alone), then
  `recorder.run(call, stop_before=...)` gives the list of `Exchange`s.
  `stop_before(exchanges)` is asked before each request leaves: once true
  (the outcome is known), the request is not sent and the dialogue ends.
  `trasko.dialogue` does this for the upload and for the login check.
- A dialogue of the command's own sends through `RecordingSession(timeouts,
  exchanges)`: its `get` and `post` are those of a `requests` session, with
  the time-outs, and each appends one `Exchange` to `exchanges`.

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
from typing import Any
from urllib.parse import urlsplit

from trasko import messages, site
from trasko.site import Page

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


def _never(_: list[Exchange]) -> bool:
    return False


class Stopped(Exception):
    """Raised by the wrappers in place of a request once the dialogue's outcome is known."""


class RecordingSession:
    """A `requests` session whose requests carry the time-outs and are recorded."""

    def __init__(self, timeouts: Timeouts, exchanges: list[Exchange], inner: Any = None) -> None:
        if inner is None:
            from requests import Session

            inner = Session()
        self._inner = inner
        self._timeouts = timeouts
        self._exchanges = exchanges

    def get(self, url: str, **kwargs: Any) -> Any:
        return self._send("GET", url, kwargs)

    def post(self, url: str, **kwargs: Any) -> Any:
        return self._send("POST", url, kwargs)

    def _send(self, method: str, url: str, kwargs: dict[str, Any]) -> Any:
        exchange = Exchange(method, urlsplit(url).path or "/", _size(kwargs.get("files")))
        self._exchanges.append(exchange)
        connect, read = self._timeouts.for_request(exchange.sent)
        kwargs.setdefault("timeout", (connect, read))
        try:
            response = getattr(self._inner, method.lower())(url, **kwargs)
        except Exception as error:
            exchange.error, exchange.silent_after = network_cause(error, connect, read)
            raise
        exchange.status = response.status_code
        exchange.final_url = response.url
        try:
            text = response.content.decode()
        except UnicodeDecodeError:
            exchange.undecodable = True
        else:
            exchange.page = site.read_page(text, site.base_url())
        return response


class Recorder:
    """The module's dialogue watched: the wrappers, and the records of the current run."""

    def __init__(self, timeouts: Timeouts) -> None:
        import velka

        self.velka = velka
        self.timeouts = timeouts
        self.exchanges: list[Exchange] = []
        self._stop_before: Callable[[list[Exchange]], bool] = _never
        self._stop_after: Callable[[list[Exchange]], bool] = _never
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

    def run(
        self,
        call: Callable[[], object],
        stop_before: Callable[[list[Exchange]], bool] = _never,
        stop_after: Callable[[list[Exchange]], bool] = _never,
    ) -> list[Exchange]:
        """Runs one dialogue (inside `installed()`); its records. Whatever
        ended it is in the records: the exception itself is not needed.
        `stop_before` is asked before each request leaves, `stop_after` as
        soon as each answer is in (before the module reads it)."""
        self.exchanges, self._stop_before, self._stop_after = [], stop_before, stop_after
        try:
            call()
        except BrokenPipeError:  # the module's print: standard output is gone
            raise
        except Exception:  # noqa: BLE001, S110 - the records say what happened
            pass
        return self.exchanges

    def _session(self) -> RecordingSession:
        return RecordingSession(self.timeouts, self.exchanges, self._originals["Session"]())

    def _read_url(self, session: Any, url: str, data: Any = None, files: Any = None) -> Any:
        if self._stop_before(self.exchanges):
            raise Stopped
        count = len(self.exchanges)
        html = self._originals["read_url"](session, url, data, files=files)
        if html is None and len(self.exchanges) == count:
            # Nothing left: a file to send that could not be opened.
            self.exchanges.append(Exchange("POST", urlsplit(url).path or "/", unsent=_unopenable(files)))
        if self._stop_after(self.exchanges):
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
    for name in dict(files or {}).values():
        try:
            with open(name, "rb"):
                pass
        except OSError as error:
            return messages.PAPI_UNREADABLE.format(reason=file_error(error))
    return messages.PAPI_UNREADABLE.format(reason=messages.FILE_UNOPENABLE)


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
