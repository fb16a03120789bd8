"""The list file, read once, as organisers write it: from a file, a pipe,
`/dev/stdin` or `-`; UTF-8 with or without a byte order mark, else
Windows-1252; each line split by the module's rules (`,` and `;` alike,
fields trimmed), judged, and shown without anything that may be a password."""

from __future__ import annotations

import codecs
import os
import sys
from collections.abc import Callable
from enum import Enum
from pathlib import Path
from typing import BinaryIO

from trasko import messages
from trasko.exchange import file_error

COMMENT = "commentaire"
BLANK = "vide"
NO_LOGIN = "sans identifiant"
NO_PASSWORD = "sans mot de passe"
MALFORMED = "incorrecte"
PAPI_PROBLEM = "fichier Papi à revoir"
USABLE = "utilisable"

SEPARATORS = ",;"


class Need(Enum):
    """What a mode needs of a line: the whole line, or the codes alone (--verifier, the errands)."""

    PUBLISH = "publier"
    CODES = "identifiants"
    WATCH = "suivre"


class ListError(Exception):
    """The list cannot be read; `opened` when it was opened and then failed to decode."""

    def __init__(self, reason: str, opened: bool = False) -> None:
        super().__init__(reason)
        self.reason = reason
        self.opened = opened


class Line:
    """One line of the list file, split and judged by the module's batch rules."""

    def __init__(self, number: int, raw: str) -> None:
        self.number = number
        self.raw = raw  # as read, with its line end
        self.fields = [text.strip() for text, _ in _pieces(raw)]
        self.kind = BLANK
        self.cause = ""
        self.split_password = False  # a password holding a separator is suspected
        self.examine()

    @property
    def login(self) -> str:
        """Field 0 when it cannot hold a password: the line split into
        several fields, and no blank or tab inside it."""
        first = self.fields[0]
        if len(self.fields) < 2 or first.startswith("#") or any(c.isspace() for c in first):
            return ""
        return first

    @property
    def password(self) -> str:
        return self.fields[1] if len(self.fields) > 1 else ""

    @property
    def papi(self) -> str:
        """Field 2, without the double quotes Windows' "copy as path" puts around it."""
        text = self.fields[2] if len(self.fields) > 2 else ""
        return text[1:-1].strip() if len(text) > 1 and text[0] == text[-1] == '"' else text

    @property
    def visible(self) -> bool:
        return len(self.fields) > 3 and self.fields[3] == "1"

    @property
    def ignored(self) -> bool:
        return self.kind in (BLANK, COMMENT)

    def usable(self, need: Need) -> bool:
        if need is Need.PUBLISH:
            return self.kind == USABLE
        if need is Need.WATCH:  # a Papi file appearing (or changing) later makes it publishable
            return self.kind in (USABLE, PAPI_PROBLEM) and len(self.fields) > 3 and not self._split_suspected()
        # The Papi file need not exist, nor the visibility be given: the codes are what count.
        return self.kind in (USABLE, PAPI_PROBLEM, MALFORMED) and len(self.fields) > 2 and not self.split_password

    def label(self) -> str:
        if self.login:
            return messages.LINE_LABEL.format(number=self.number, login=self.login)
        return messages.LINE_LABEL_BARE.format(number=self.number)

    def papi_path(self) -> str:
        return os.path.abspath(self.papi)

    def examine(self) -> None:
        """Judges the line against the file system as it is now."""
        self.split_password = False
        self.kind, self.cause = self._judged()

    def _judged(self) -> tuple[str, str]:
        fields = self.fields
        if fields[0].startswith("#"):
            return COMMENT, ""
        if not any(fields):
            return BLANK, ""
        if fields[0] == "":
            return NO_LOGIN, messages.EMPTY_LOGIN
        malformed = messages.MALFORMED_BLANKS if len(fields[0].split()) > 2 else messages.MALFORMED
        if len(fields) < 2:
            return MALFORMED, malformed
        if fields[1] == "":
            return NO_PASSWORD, messages.EMPTY_PASSWORD
        if len(fields) < 3:
            return MALFORMED, malformed
        problem = _papi_problem(self.papi)
        if problem is not None:
            return PAPI_PROBLEM, self._papi_cause(problem)
        if len(fields) < 4:
            return MALFORMED, malformed
        return USABLE, ""

    def _papi_cause(self, problem: str) -> str:
        self.split_password = problem == messages.PAPI_MISSING and (
            self._split_suspected() or not _path_like(self.papi)
        )
        return f"{problem} ; {messages.SPLIT_PASSWORD}" if self.split_password else problem

    def _split_suspected(self) -> bool:
        """A Papi file named further on: the password held a separator."""
        return any(_looks_like_papi(text) for text in self.fields[3:])

    def module_line(self) -> str | None:
        """What the module's batch prints for this line (standard output),
        without what may be a password; None when it prints nothing."""
        if self.kind == USABLE:
            return f"{messages.ENVOI_DE} {self.papi}"
        if self.kind == PAPI_PROBLEM:
            shown = messages.MASKED_FIELD if self.split_password else self.papi  # the field may be the password's tail
            return messages.PAPI_INTROUVABLE.format(shown)
        if self.kind == MALFORMED:
            return f"{messages.FORMAT_INCORRECT} {self._masked()}"
        return None

    def _masked(self) -> str:
        """The raw line (and its line end, as the module prints it) with its password masked."""
        ending = self.raw[len(self.raw.rstrip("\r\n")) :]
        if not self.login:
            return messages.MASKED_LINE.format(number=self.number) + ending
        secret = next((i for i in range(2, len(self.fields)) if _looks_like_papi(self.fields[i])), 2)
        pieces = _pieces(self.raw)
        for index in range(1, min(secret, len(pieces))):
            text, separator = pieces[index]
            core = text.strip()
            if core:
                start = text.index(core)
                pieces[index] = (text[:start] + messages.MASK + text[start + len(core) :], separator)
        return "".join(text + separator for text, separator in pieces)


def _pieces(raw: str) -> list[tuple[str, str]]:
    """The raw line's fields, each with the separator after it, so that joining gives it back."""
    pieces, start = [], 0
    for index, char in enumerate(raw):
        if char in SEPARATORS:
            pieces.append((raw[start:index], char))
            start = index + 1
    pieces.append((raw[start:], ""))
    return pieces


def _papi_problem(path: str) -> str | None:
    try:
        candidate = Path(path)
        if candidate.is_file():
            return None
        if candidate.is_dir():
            return messages.PAPI_FOLDER
    except PermissionError:
        return messages.PAPI_DENIED
    except (OSError, ValueError):  # a name the system refuses: no such file
        pass
    return messages.PAPI_MISSING


def _path_like(text: str) -> bool:
    return "/" in text or "\\" in text or "." in text.strip(".")


def _looks_like_papi(text: str) -> bool:
    if text.lower().endswith(".papi"):
        return True
    try:
        return bool(text) and Path(text).is_file()
    except (OSError, ValueError):
        return False


# --- reading ------------------------------------------------------------------


def read(name: str, stdin: Callable[[], BinaryIO] = lambda: sys.stdin.buffer) -> tuple[list[Line], bool]:
    """The lines of the list (`stdin` gives the one named "-"), and whether it
    was read as Windows-1252; ListError when it cannot be read."""
    text, ansi = decode(read_bytes(name, stdin))
    return split(text), ansi


def read_bytes(name: str, stdin: Callable[[], BinaryIO]) -> bytes:
    try:
        if name == "-" or (os.name == "nt" and name == "/dev/stdin"):
            return stdin().read()
        with open(name, "rb") as file:
            return file.read()
    except OSError as error:
        raise ListError(file_error(error)) from None


def decode(data: bytes) -> tuple[str, bool]:
    """The text of the list and whether it was read as Windows-1252."""
    if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        try:
            return data.decode("utf-16"), False
        except UnicodeDecodeError:
            pass
    try:
        return data.decode("utf-8-sig"), False
    except UnicodeDecodeError:
        pass
    try:
        return data.decode("cp1252"), True
    except UnicodeDecodeError as error:
        line = data[: error.start].count(b"\n") + 1
        raise ListError(messages.LIST_BAD_BYTES.format(byte=data[error.start], line=line), opened=True) from None


def split(text: str) -> list[Line]:
    """Lines as the module's text-mode reading gives them: LF, CR LF and CR
    each end a line, handed on as one LF."""
    texts = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    lines = [piece + "\n" for piece in texts[:-1]]
    if texts[-1]:
        lines.append(texts[-1])
    return [Line(number, raw) for number, raw in enumerate(lines, 1)]
