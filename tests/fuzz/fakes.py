"""Stand-ins for the site that cost no socket: a session that answers from a
list of pages, and the pages of a complete publishing dialogue."""

from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import ClassVar


class FakeResponse:
    def __init__(self, content: bytes) -> None:
        self.content = content


class FakeSession:
    """Answers each request with the next page of `pages` (the last one is
    repeated) and records (method, url, data, file names) for each."""

    pages: ClassVar[list[bytes]] = [b""]

    def __init__(self) -> None:
        self.calls: list[tuple[object, ...]] = []
        self.served = 0
        type(self).last = self

    def _answer(self) -> FakeResponse:
        page = self.pages[min(self.served, len(self.pages) - 1)]
        self.served += 1
        return FakeResponse(page)

    def get(self, url: object) -> FakeResponse:
        self.calls.append(("GET", url))
        return self._answer()

    def post(self, url: object, data: object = None, files: object = None) -> FakeResponse:
        names = None if files is None else sorted(files)  # type: ignore[call-overload]
        self.calls.append(("POST", url, data, names))
        return self._answer()


def session_class(pages: Iterable[bytes]) -> type[FakeSession]:
    """A FakeSession subclass serving `pages`, to rebind `Session` with."""
    return type("FakeSession", (FakeSession,), {"pages": list(pages)})


def state_fields(tag: str) -> str:
    return "".join(
        f'<input type="hidden" name="{name}" value="{tag}-{name}" />'
        for name in ("__VIEWSTATE", "__VIEWSTATEGENERATOR", "__EVENTVALIDATION")
    )


def dialogue_pages(label: str = "Activer le tournoi", after: str = "Désactiver") -> list[bytes]:
    """The four pages of a dialogue: first page, login answer, upload answer
    with the show/hide button saying `label`, answer to pressing it."""
    button = '<a id="ctl00_ContentPlaceHolderMain_CmdAfficherTournoi">{}</a>'
    return [
        f"<html><form>{state_fields('home')}</form></html>".encode(),
        f"<html><form>{state_fields('login')}</form></html>".encode(),
        f"<html><form>{state_fields('upload')}{button.format(label)}</form></html>".encode(),
        f"<html><form>{state_fields('shown')}{button.format(after)}</form></html>".encode(),
    ]


class Recorder:
    """Stands for envoi_tournoi in a module's globals: records its arguments
    and raises `fail` from the call numbered `fail_at` (from 1)."""

    def __init__(self, fail_at: int = 0, fail: Callable[[], BaseException] = ValueError) -> None:
        self.calls: list[tuple[object, ...]] = []
        self.fail_at = fail_at
        self.fail = fail

    def __call__(self, *args: object) -> None:
        self.calls.append(args)
        if len(self.calls) == self.fail_at:
            raise self.fail()


class FakeElement:
    def __init__(self, text: str, value: str | None) -> None:
        self.text, self.value = text, value

    def get_text(self) -> str:
        return self.text

    def get(self, key: str) -> str | None:
        return self.value if key == "value" else None


class FakeSoup:
    """Stands for BeautifulSoup on the pages above, in plain Python: the
    out-of-memory sweep fails the module's allocations, not the parser's."""

    def __init__(self, html: str, parser: str) -> None:
        self.html = html

    def _element(self, attribute: str, key: object) -> FakeElement | None:
        # Plain string search: compiling a pattern would fail the re module's
        # allocations too.
        start = self.html.find(f'{attribute}="{key}"')
        if start < 0:
            return None
        end = self.html.index(">", start)
        tag = self.html[start:end]
        value = None
        if 'value="' in tag:
            value = tag.split('value="', 1)[1].split('"', 1)[0]
        return FakeElement(self.html[end + 1 :].split("<", 1)[0], value)

    def find(self, id: object = None, attrs: dict[str, object] | None = None) -> object:
        if attrs is not None:
            # By key, not items(): CPython 3.12.1 crashes when an items
            # iterator cannot get its memory.
            for attribute in attrs:
                return self._element(attribute, attrs[attribute])
        return self._element("id", id)

    def find_all(self, id: object = None) -> list[FakeElement]:
        element = self._element("id", id)
        return [] if element is None else [element, element]
