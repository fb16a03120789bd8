"""What Papi keeps in its database, and the copy of it that may go public.

Papi's tables: INFO (one `Variable`, `Value` row per setting of the
tournament), JOUEUR (one row per player, Papi's bye included) and RES. The
federation republishes the uploaded file for anyone to download, so the copy
sent holds no player's phone or e-mail and no FTP credentials, in any byte:
not in the rows, nor in the pages' free space, deleted rows or pages that no
table uses any more, where the database leaves old values behind.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass

from trasko.papi import jet
from trasko.papi.jet import Column, Database, PapiError, Row, TableDef

TABLES = ("INFO", "JOUEUR", "RES")
CONTACTS = ("Tel", "EMail")
SECRETS = ("FTPLogin", "FTPPassword")
# Shorter values are no usable contact, and would match unrelated bytes.
MIN_SCANNED = 4
SCAN_GROUP = 64

# Reason codes, beside those of the page format.
NOT_PAPI = "not-papi"
UNCLEAN = "unclean"


@dataclass(frozen=True)
class Tournament:
    homologation: str
    name: str
    rounds: int
    active_round: int
    version: str
    players: int
    phones: int  # rows holding a phone number
    emails: int  # rows holding an e-mail address
    ftp_credentials: bool


@dataclass(frozen=True)
class Cleaned:
    path: str  # the copy, under the organiser's file name
    tournament: Tournament  # read from the organiser's file


class Papi:
    """Papi's three tables in a Jet database."""

    def __init__(self, db: Database) -> None:
        self.db = db
        tables = db.tables()
        missing = [name for name in TABLES if name not in tables]
        if missing:
            raise PapiError(NOT_PAPI, f"no table {', '.join(missing)}")
        self.info_def = db.table_def(tables["INFO"])
        self.players_def = db.table_def(tables["JOUEUR"])
        self.variable = _text_column(self.info_def, "Variable")
        self.value = _text_column(self.info_def, "Value")
        self.contacts = tuple(_text_column(self.players_def, name) for name in CONTACTS)

        self._info_rows = [(row, db.text(row, self.variable)) for row in db.rows(self.info_def)]
        self._contacts = [tuple(db.text(row, c) for c in self.contacts) for row in db.rows(self.players_def)]

    def info(self) -> dict[str, str]:
        return {name: self.db.text(row, self.value) for row, name in self._info_rows}

    def contact_values(self) -> list[tuple[str, ...]]:
        """Each player's phone and e-mail ("" when none)."""
        return self._contacts

    def tournament(self) -> Tournament:
        info = self.info()
        contacts = self.contact_values()
        return Tournament(
            homologation=info.get("Homologation", "").strip(),
            name=info.get("Nom", "").strip(),
            rounds=_number(info.get("NbrRondes", "")),
            active_round=_number(info.get("RondeActive", "")),
            version=info.get("Version", "").strip(),
            players=len(contacts),
            phones=sum(bool(values[0]) for values in contacts),
            emails=sum(bool(values[1]) for values in contacts),
            ftp_credentials=any(info.get(name) for name in SECRETS),
        )

    def secrets(self) -> set[str]:
        """Every contact and credential the file holds in its live rows."""
        found = {value for values in self.contact_values() for value in values if value}
        info = self.info()
        return found | {info[name] for name in SECRETS if info.get(name)}

    def emptied(self, table: str, row: Row) -> set[int]:
        """The values the copy empties in a row, those that hold something."""
        if table == "JOUEUR":
            columns: tuple[Column, ...] = self.contacts
        elif table == "INFO" and self.db.text(row, self.variable) in SECRETS:
            columns = (self.value,)
        else:
            return set()
        return {column.var_index for column in columns if self.db.value(row, column)}


def read(path: str) -> Tournament:
    return Papi(Database(jet.read_file(path))).tournament()


@contextmanager
def cleaned_copy(source: str) -> Iterator[Cleaned]:
    """The cleaned copy of `source` in a private temporary folder, removed on
    leaving, whatever happens."""
    import shutil
    import tempfile  # here: the command's start (--help) does without them

    folder = tempfile.mkdtemp(prefix="trasko-")
    try:
        yield clean(source, folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def clean(source: str, folder: str) -> Cleaned:
    """Writes the cleaned copy of `source` into `folder` under the same name,
    reads it back and checks it; the organiser's file is only read."""
    original = Database(jet.read_file(source))
    papi = Papi(original)
    tournament = papi.tournament()
    copy = bytearray(original.data)
    _clean(papi, copy)
    target = os.path.join(folder, os.path.basename(source))
    with open(target, "xb") as file:
        file.write(copy)
    del copy  # the check reads the file back: one copy in memory at a time
    try:
        check(papi, Database(jet.read_file(target)))
    except BaseException:
        os.remove(target)  # a copy that failed its check must not be taken for a good one
        raise
    return Cleaned(target, tournament)


def _clean(papi: Papi, out: bytearray) -> None:
    """Rewrites `out`, a copy of the file `papi` reads."""
    db = papi.db
    for name, table in (("JOUEUR", papi.players_def), ("INFO", papi.info_def)):
        for row in db.rows(table):
            emptied = papi.emptied(name, row)
            if emptied:
                jet.empty_values(out, row, emptied)
    definitions = [db.table_def(page) for page in db.tables().values()]
    keep_rows = {pointer for table in definitions for pointer in table.map_pointers}
    jet.scrub(db, out, _stale_pages(papi), keep_rows)


def _stale_pages(papi: Papi) -> set[int]:
    """Data pages of Papi's tables that their usage map no longer lists: old
    copies of rows. System tables' are left whole: their owner may still use
    them through ways this reader does not follow."""
    db = papi.db
    owners = {db.tables()[name]: name for name in TABLES}
    live = {page for table in owners for page in db.data_pages(db.table_def(table))}
    stale = set()
    for page in range(db.pages):
        if db.page_type(page) == jet.DATA_PAGE and jet.u32(db.page(page), 4) in owners and page not in live:
            stale.add(page)
    return stale


# --- the check of the copy, read back from the disk ---------------------------
def unclean(detail: str) -> PapiError:
    return PapiError(UNCLEAN, detail)


def check(original: Papi, copy_db: Database) -> None:
    """The copy holds the original's tables, rows and values but the emptied
    ones (the contacts and FTP credentials, which must be empty), and no byte
    of any contact or credential of the original."""
    # The scan first: its patterns are the largest allocation, the copy's
    # tables not read yet.
    found = _scan(copy_db.data, original.secrets())
    if found:
        raise unclean(f"{found} contacts left in the bytes")
    db = original.db
    if copy_db.tables() != db.tables():
        raise unclean("tables differ")
    for page in range(db.pages):
        if db.page_type(page) != jet.DATA_PAGE and db.page(page) != copy_db.page(page):
            raise unclean(f"page {page} changed")
    for name, table_page in db.tables().items():
        _check_table(original, copy_db, name, table_page)


def _check_table(original: Papi, copy: Database, name: str, table_page: int) -> None:
    before, after = original.db.table_def(table_page), copy.table_def(table_page)
    if before != after:
        raise unclean(f"definition of {name} differs")
    rows_before, rows_after = original.db.rows(before), copy.rows(after, keep=False)
    if len(rows_before) != len(rows_after):
        raise unclean(f"{name}: {len(rows_after)} rows instead of {len(rows_before)}")
    for row, row_copy in zip(rows_before, rows_after, strict=True):
        emptied = original.emptied(name, row) if name in ("JOUEUR", "INFO") else set()
        if _parts(original.db, row, emptied) != _parts(copy, row_copy, emptied, in_copy=True):
            raise unclean(f"{name}: row {row.slot} of page {row.page} differs")


def _parts(db: Database, row: Row, emptied: set[int], in_copy: bool = False) -> tuple[object, ...]:
    """A row as its place and bytes; where values are emptied, as its fixed
    part, its null mask and its values, those emptied in the original taken
    as empty (in the copy, they are as read)."""
    first = row.page * jet.PAGE
    raw = db.data[first + row.start : first + row.end]
    if not emptied or not row.offsets:
        return (row.page, row.slot, row.start, raw)
    offsets = row.offsets
    values = [raw[first:last] for first, last in zip(offsets, offsets[1:], strict=False)]
    for index in () if in_copy else emptied:
        if index < len(values):
            values[index] = b""
    mask = raw[len(raw) - row.mask_size :]
    return (row.page, row.slot, row.start, len(raw), mask, raw[: offsets[0]], values)


def _scan(data: bytes, secrets: set[str]) -> int:
    """How many of the secrets the bytes hold, as UCS-2 or one byte a
    character. A pattern of alternatives is one pass over the file where a
    search per value is one each; a pattern per 64 values bounds its size."""
    import re

    forms = set()
    for secret in secrets:
        if len(secret) >= MIN_SCANNED:
            forms.add(secret.encode("utf-16-le", errors="surrogatepass"))
            if all(ord(c) < 256 for c in secret):
                forms.add(secret.encode("latin-1"))
    ordered = sorted(forms, key=len, reverse=True)
    found: set[bytes] = set()
    for first in range(0, len(ordered), SCAN_GROUP):
        pattern = re.compile(b"|".join(re.escape(form) for form in ordered[first : first + SCAN_GROUP]))
        found.update(match.group() for match in pattern.finditer(data))
    return len(found)


def _text_column(table: TableDef, name: str) -> Column:
    for column in table.columns:
        if column.name == name:
            if column.type != jet.TEXT or column.fixed:
                raise PapiError(NOT_PAPI, f"column {name} is not text")
            return column
    raise PapiError(NOT_PAPI, f"no column {name}")


def _number(text: str) -> int:
    text = text.strip()
    return int(text) if text.isdigit() and len(text) < 6 else 0
