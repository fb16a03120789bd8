"""The list file read as the module's batch reads it, so that every outcome
can be told by its line number and login."""

from __future__ import annotations

import os
from pathlib import Path

BLANK = "vide"
MALFORMED = "ligne incorrecte"
MISSING = "fichier Papi introuvable"
USABLE = "utilisable"


class Line:
    """One line of the list file, split and judged by the batch's own rules."""

    def __init__(self, number: int, text: str) -> None:
        self.number = number
        self.fields = [field.strip() for field in text.replace(",", ";").split(";")]
        self.kind = _kind(self.fields)

    @property
    def login(self) -> str:
        # A line with one field may be a whole line whose separators were
        # wrong: that field may hold the password, so it is never shown.
        return self.fields[0] if len(self.fields) > 1 else ""

    @property
    def password(self) -> str:
        return self.fields[1] if len(self.fields) > 1 else ""

    @property
    def papi(self) -> str:
        return self.fields[2] if len(self.fields) > 2 else ""

    @property
    def visible(self) -> bool:
        return len(self.fields) > 3 and self.fields[3] == "1"

    @property
    def watchable(self) -> bool:
        """Whether a Papi file appearing later would make this line usable."""
        return self.kind in (USABLE, MISSING) and len(self.fields) > 3

    def label(self) -> str:
        number = self.number or "?"
        return f"ligne {number} ({self.login})" if self.login else f"ligne {number}"

    def papi_path(self) -> str:
        return os.path.abspath(self.papi)

    def rejudge(self) -> None:
        self.kind = _kind(self.fields)


def _kind(fields: list[str]) -> str:
    try:
        if fields[0] == "" or fields[1] == "":
            return BLANK
        if not Path(fields[2]).is_file():
            return MISSING
        fields[3]
    except Exception:  # noqa: BLE001 - any failure is a malformed line, as in the batch
        return MALFORMED
    return USABLE


def read(path: str) -> list[Line]:
    """The lines of the list file; OSError (UnicodeError included) when it cannot be read."""
    try:
        with open(path) as file:
            texts = file.readlines()
    except UnicodeError as error:
        raise OSError(f"encodage illisible : {error.reason}") from None
    return [Line(number, text) for number, text in enumerate(texts, 1)]
