"""Watching the module work. Its functions look up `read_url`, `Session`,
`BeautifulSoup` and `envoi_tournoi` in the module's globals at every call,
so wrappers put there for a run see every page and every outcome while the
module sends and prints exactly what it would alone."""

from __future__ import annotations

import re
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

from trasko import site

PUBLISHED = ""  # the cause of an outcome that is no failure


class LoginSeen(Exception):
    """Ends a dialogue once the login has been answered (--verifier)."""


class Attempt:
    """One tournament's dialogue with the site: the pages the module parsed,
    the first request that failed and the error that ended it."""

    def __init__(self, stop_after_login: bool = False) -> None:
        self.pages: list[Any] = []
        self.lost: str | None = None
        self.error: BaseException | None = None
        self.stop_after_login = stop_after_login

    def cause(self, visible: bool) -> str:
        """Why the tournament is not published; PUBLISHED when it is."""
        if self.lost is not None:
            return self.lost
        taken = len(self.pages) > 2 and site.upload_taken(site.upload_verdict(self.pages[2]))
        if not taken and len(self.pages) > 1 and not self.login_accepted():
            return "connexion refusée"
        if len(self.pages) > 2 and not taken:
            verdict = site.upload_verdict(self.pages[2])
            return f"fichier refusé par le site : {verdict}" if verdict else "envoi du fichier non confirmé par le site"
        if self.error is not None or len(self.pages) < 3:
            return f"réponse inattendue du site ({type(self.error).__name__})"
        if site.shown(self.pages[-1]) not in (visible, None):
            return "affichage ou masquage refusé par le site"
        return PUBLISHED

    def login_accepted(self) -> bool:
        return len(self.pages) > 1 and site.public_url(self.pages[1]) is not None


class Watch:
    """The wrappers, and the attempt they currently record into."""

    def __init__(self) -> None:
        import velka

        self.velka = velka
        self.current = Attempt()
        self.sent = 0
        self.network_error: Exception | None = None

    @contextmanager
    def installed(self, **extra: Callable[..., Any]) -> Iterator[None]:
        """The wrappers (and `extra` ones) in the module's globals, then the originals back."""
        module = vars(self.velka)
        wrappers = {
            "Session": self._session,
            "read_url": self._read_url,
            "BeautifulSoup": self._parse,
            **extra,
        }
        saved = {name: module[name] for name in wrappers}
        self.originals = saved
        module.update(wrappers)
        try:
            yield
        finally:
            module.update(saved)

    def attempt(self, dialogue: Callable[[], object], stop_after_login: bool = False) -> Attempt:
        """Runs one dialogue of the module and records it; Exceptions end up in the attempt."""
        attempt = self.current = Attempt(stop_after_login)
        try:
            dialogue()
        except LoginSeen:
            pass
        except Exception as error:  # noqa: BLE001 - what ended the dialogue is judged later
            attempt.error = error
        return attempt

    def _session(self) -> Any:
        return _Session(self.originals["Session"](), self)

    def _read_url(self, session: Any, url: str, data: Any = None, files: Any = None) -> Any:
        sent, self.network_error = self.sent, None
        html = self.originals["read_url"](session, url, data, files=files)
        if html is None and self.current.lost is None:
            self.current.lost = self._why_lost(bool(files) and self.sent == sent)
        return html

    def _why_lost(self, file_unopened: bool) -> str:
        if file_unopened:
            return "fichier Papi illisible"
        if self.network_error is not None:
            return f"site injoignable : {_network_text(self.network_error)}"
        return "réponse illisible du site (pas en UTF-8)"

    def _parse(self, html: Any, parser: str) -> Any:
        soup = self.originals["BeautifulSoup"](html, parser)
        self.current.pages.append(soup)
        if self.current.stop_after_login and len(self.current.pages) == 2:
            raise LoginSeen
        return soup


def _network_text(error: Exception) -> str:
    """The cause of a network failure without the library's wrapping: the
    innermost reason, without the object descriptions it carries."""
    reason = getattr(error.args[0], "reason", None) if error.args else None
    return re.sub(r"<[^<>]*>: ", "", str(reason or error))


class _Session:
    """A session that lets the watch see whether a request left and how it failed."""

    def __init__(self, inner: Any, watch: Watch) -> None:
        self._inner = inner
        self._watch = watch

    def get(self, *args: Any, **kwargs: Any) -> Any:
        return self._send(self._inner.get, args, kwargs)

    def post(self, *args: Any, **kwargs: Any) -> Any:
        return self._send(self._inner.post, args, kwargs)

    def _send(self, method: Callable[..., Any], args: tuple, kwargs: dict) -> Any:
        self._watch.sent += 1
        try:
            return method(*args, **kwargs)
        except Exception as error:
            self._watch.network_error = error
            raise
