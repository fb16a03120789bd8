"""The list file, read once, as organisers write it: from a file, a pipe,
`/dev/stdin` or `-`; UTF-8 with or without a byte order mark, else
Windows-1252; each line split by the module's rules (`,` and `;` alike,
fields trimmed), judged, and shown without anything that may be a password."""

from __future__ import annotations

import codecs
import difflib
import os
import re
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
BAD_VISIBILITY = "visibilité à revoir"
USABLE = "utilisable"

SEPARATORS = ",;"
_JOINED = re.compile(r"[\s:/|=\\]")
_BOM = re.compile("^(?:\ufeff|\u00ef\u00bb\u00bf)+")  # as UTF-8, or as UTF-8 read as Windows-1252
PDF_MAGIC = b"%PDF-"
JET_MAGIC = b"Standard Jet DB\x00"  # at byte 4 of every Papi file
VISIBILITIES = ("1", "0", "")  # an empty field hides, as a trailing separator leaves it
FIELDS = 5  # login, password, Papi file, visibility, key
LARGEST_FOLDER = 5000  # entries looked at for a name close to a missing Papi file


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

    def __init__(self, number: int, raw: str, base: str = "") -> None:
        self.number = number
        self.raw = raw  # as read, with its line end
        self.base = base or os.getcwd()  # the folder its relative paths start from
        # A NUL (a list saved by a faulty tool) is never part of a field.
        self.fields = [text.replace("\x00", "").strip() for text, _ in _pieces(raw)]
        self.kind = BLANK
        self.cause = ""
        self.split_password = False  # a password holding a separator is suspected
        self.examine()

    @property
    def login(self) -> str:
        """Field 0 when it cannot hold a password: the line in its expected
        shape (the password's place not taken by the Papi file, a login
        forgotten), and the field a plausible login (no blank, none of the
        characters that would join a password to it)."""
        first = self.fields[0]
        if len(self.fields) < 3 or first.startswith("#") or self.fields[1].lower().endswith(".papi"):
            return ""
        return "" if _JOINED.search(first) else first

    @property
    def password(self) -> str:
        return self.fields[1] if len(self.fields) > 1 else ""

    @property
    def papi(self) -> str:
        """Field 2, without the double quotes Windows' "copy as path" puts around it."""
        return _unquoted(self.fields[2] if len(self.fields) > 2 else "")

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
            return self.kind in (USABLE, PAPI_PROBLEM) and len(self.fields) > 3 and not self.split_password
        # The Papi file need not exist, nor the visibility be given: the codes are what count.
        return (
            self.kind in (USABLE, PAPI_PROBLEM, MALFORMED, BAD_VISIBILITY)
            and len(self.fields) > 2
            and not self.split_password
        )

    def label(self) -> str:
        if self.login:
            return messages.LINE_LABEL.format(number=self.number, login=self.login)
        return messages.LINE_LABEL_BARE.format(number=self.number)

    def papi_path(self) -> str:
        return os.path.normpath(os.path.join(self.base, self.papi))

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
        problem = _papi_problem(self.papi_path()) if self.papi else messages.PAPI_EMPTY
        if problem is not None:
            return PAPI_PROBLEM, self._papi_cause(problem)
        if len(fields) < 4:
            return MALFORMED, malformed
        if fields[3] not in VISIBILITIES:  # "oui" would publish the tournament hidden without a word
            return BAD_VISIBILITY, messages.VISIBILITY_BAD.format(value=fields[3])
        return USABLE, ""

    def _papi_cause(self, problem: str) -> str:
        if problem != messages.PAPI_MISSING:
            return problem
        if self.fields[1].lower().endswith(".papi"):  # the Papi file one place early
            self.split_password = True  # field 1 may be the password: never shown nor sent as a login
            return messages.PAPI_TOO_EARLY
        near = None if self._split_suspected() else _nearest(self.papi_path())
        if near:
            return messages.PAPI_NEAR.format(name=self.papi, folder=os.path.dirname(self.papi_path()), near=near)
        # A field 3 that names a Papi file is no password's tail; a short line's
        # field 3 that names no file at all may be one.
        short = len(self.fields) < 4 and not _path_like(self.papi)
        self.split_password = not self.papi.lower().endswith(".papi") and (self._split_suspected() or short)
        return f"{problem} ; {messages.SPLIT_PASSWORD}" if self.split_password else problem

    def _split_suspected(self) -> bool:
        """More fields than a line holds, or a Papi file named further on: the password held a separator."""
        return len(self.fields) > FIELDS or any(_looks_like_papi(text, self.base) for text in self.fields[3:])

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
        secret = next((i for i in range(2, len(self.fields)) if _looks_like_papi(self.fields[i], self.base)), 2)
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


def _nearest(path: str) -> str | None:
    """The Papi file of the folder whose name is closest to `path`'s: the
    same name with ".papi" (Explorer hides extensions), or in another case,
    or nearly the same; None when none comes close."""
    folder, name = os.path.split(path)
    try:
        with os.scandir(folder or ".") as entries:
            names = [
                e.name for _, e in zip(range(LARGEST_FOLDER), entries, strict=False) if e.name.lower().endswith(".papi")
            ]
    except (OSError, ValueError):
        return None
    by_lower = {found.lower(): found for found in names}
    for wanted in (f"{name}.papi".lower(), name.lower()):
        if wanted in by_lower:
            return by_lower[wanted]
    close = difflib.get_close_matches(name.lower(), list(by_lower), n=1, cutoff=0.75)
    return by_lower[close[0]] if close else None


def _unquoted(text: str) -> str:
    return text[1:-1].strip() if len(text) > 1 and text[0] == text[-1] == '"' else text


def _looks_like_papi(field: str, base: str) -> bool:
    text = _unquoted(field)
    if text.lower().endswith(".papi"):
        return True
    try:
        return bool(text) and Path(base, text).is_file()
    except (OSError, ValueError):
        return False


# --- reading ------------------------------------------------------------------


def read(
    name: str, stdin: Callable[[], BinaryIO] = lambda: sys.stdin.buffer, base: str = ""
) -> tuple[list[Line], bool]:
    """The lines of the list (`stdin` gives the one named "-"; their relative
    paths start from `base`, by default the current folder), and whether it
    was read as Windows-1252; ListError when it cannot be read."""
    text, ansi = decode(read_bytes(name, stdin))
    return split(text, base), ansi


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
    if data.startswith(PDF_MAGIC):  # dropped on the wrong program: say what it is
        raise ListError(messages.LIST_IS_PDF, opened=True)
    if data[4:20] == JET_MAGIC:
        raise ListError(messages.LIST_IS_PAPI, opened=True)
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
        raise ListError(messages.LIST_NOT_TEXT.format(byte=data[error.start], line=line), opened=True) from None


def split(text: str, base: str = "") -> list[Line]:
    """Lines as the module's text-mode reading gives them: LF, CR LF and CR
    each end a line, handed on as one LF. Lists joined by `copy a+b` or `cat`
    keep each part's byte order mark at the start of a line, and may end with
    the end-of-file mark Ctrl-Z: neither belongs to a line."""
    text = re.sub(r"\x1a[\x1a\s]*\Z", "", text)
    texts = [_BOM.sub("", piece) for piece in text.replace("\r\n", "\n").replace("\r", "\n").split("\n")]
    lines = [piece + "\n" for piece in texts[:-1]]
    if texts[-1]:
        lines.append(texts[-1])
    base = base or os.getcwd()
    return [Line(number, raw, base) for number, raw in enumerate(lines, 1)]
