"""Papi files: the reader against the fixtures' known contents, the cleaned
copy against the original through an independent reader (mdbtools'
mdb-export), and damaged or hostile files."""

import contextlib
import csv
import hashlib
import io
import json
import shutil
import signal
import struct
import subprocess
from pathlib import Path

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from trasko import papi
from trasko.papi import content, jet

FIXTURES = Path(__file__).parent / "papi"
CONTACTS = json.loads((FIXTURES / "contacts.json").read_text(encoding="utf-8"))
NAMES = sorted(CONTACTS)
# name: (Nom, NbrRondes, RondeActive)
TOURNAMENTS = {
    "modele-vide-3.3.8.papi": ("Tournoi", 7, 0),
    "rapide-87-joueurs-contacts.papi": ("14e open rapide de Domloup - Tournoi A", 9, 9),
    "open-582-joueurs.papi": ("Internationaux de 2023 -  Rapide", 9, 6),
    "fide-17-joueurs-contacts.papi": ("33e open Fide de Domloup - Tournoi A", 5, 0),
    "jeunes-37-joueurs-emails.papi": ("Tournoi U10", 7, 7),
}
needs_mdbtools = pytest.mark.skipif(shutil.which("mdb-export") is None, reason="mdbtools (scripts/test installs it)")


def export(path, table):
    """A table as mdb-export reads it: its header and rows."""
    done = subprocess.run(["mdb-export", "-b", "hex", str(path), table], capture_output=True, check=True, timeout=60)
    return list(csv.reader(io.StringIO(done.stdout.decode("utf-8", errors="surrogateescape"))))


def tables(path):
    done = subprocess.run(["mdb-tables", "-S", "-1", str(path)], capture_output=True, check=True, timeout=60)
    return done.stdout.decode("utf-8").split()


def forms(value):
    return [value.encode("utf-16-le"), value.encode("utf-8")]


@pytest.mark.parametrize("name", NAMES)
def test_read_gives_the_tournament_and_its_contacts(name):
    expected = CONTACTS[name]
    tournament = papi.read(str(FIXTURES / name))
    assert (tournament.name, tournament.rounds, tournament.active_round) == TOURNAMENTS[name]
    assert tournament.homologation == expected["homologation"]
    assert (tournament.players, tournament.phones, tournament.emails) == (
        expected["players"],
        expected["rows_with_tel"],
        expected["rows_with_email"],
    )
    assert not tournament.ftp_credentials


@needs_mdbtools
@pytest.mark.parametrize("name", NAMES)
def test_the_copy_differs_only_by_the_emptied_contacts(name, tmp_path):
    source = FIXTURES / name
    before = hashlib.sha256(source.read_bytes()).digest()
    cleaned = papi.clean(str(source), str(tmp_path))
    copy = Path(cleaned.path)
    assert copy.name == name and copy.parent == tmp_path
    assert hashlib.sha256(source.read_bytes()).digest() == before
    assert tables(copy) == tables(source)
    removed, rows_with = set(), [0, 0]
    for table in tables(source):
        original, cleaned_rows = export(source, table), export(copy, table)
        header = original[0]
        emptied = [header.index(c) for c in content.CONTACTS] if table == "JOUEUR" else []
        assert cleaned_rows[0] == header and len(cleaned_rows) == len(original)
        for row, row_copy in zip(original[1:], cleaned_rows[1:], strict=True):
            removed.update(row[i] for i in emptied if row[i])
            rows_with = [n + bool(row[i]) for n, i in zip(rows_with, emptied, strict=False)] if emptied else rows_with
            assert [row_copy[i] for i in emptied] == ["" for i in emptied]
            assert [v for i, v in enumerate(row_copy) if i not in emptied] == [
                v for i, v in enumerate(row) if i not in emptied
            ]
    data = copy.read_bytes()
    left = [c for c in removed | set(CONTACTS[name]["stale"]) if any(form in data for form in forms(c))]
    assert not left
    assert rows_with == [CONTACTS[name]["rows_with_tel"], CONTACTS[name]["rows_with_email"]]


@pytest.mark.parametrize("name", NAMES)
def test_a_second_clean_changes_nothing(name, tmp_path):
    first = papi.clean(str(FIXTURES / name), str(tmp_path))
    (tmp_path / "again").mkdir()
    second = papi.clean(first.path, str(tmp_path / "again"))
    assert Path(second.path).read_bytes() == Path(first.path).read_bytes()
    assert (second.tournament.phones, second.tournament.emails) == (0, 0)


def test_stale_contacts_in_free_space_are_gone(tmp_path):
    name = "rapide-87-joueurs-contacts.papi"
    stale = CONTACTS[name]["stale"]
    assert stale and all(form in (FIXTURES / name).read_bytes() for value in stale for form in forms(value)[:1])
    data = Path(papi.clean(str(FIXTURES / name), str(tmp_path)).path).read_bytes()
    assert not [value for value in stale for form in forms(value) if form in data]


def rewrite_info_row(data, variable, new_variable, value):
    """Puts another setting in the place of an INFO row, the row's size kept:
    the value cut to the room left. Returns the value written."""
    row = next(row for row, name in content.Papi(jet.Database(bytes(data)))._info_rows if name == variable)
    first, eod = row.offsets[0], row.offsets[-1]
    value = (value * 8)[: (eod - first) // 2 - len(new_variable)]
    assert len(value) >= 12
    base = row.page * jet.PAGE + row.start
    data[base + first : base + eod] = (new_variable + value).encode("utf-16-le")
    table_at = base + (row.end - row.start) - row.mask_size - 2 - 2 * len(row.offsets)
    offsets = [first, first + 2 * len(new_variable), eod]
    struct.pack_into(f"<{len(offsets)}H", data, table_at, *reversed(offsets))
    return value


def test_ftp_credentials_are_emptied(tmp_path):
    data = bytearray((FIXTURES / "rapide-87-joueurs-contacts.papi").read_bytes())
    login = rewrite_info_row(data, "Arbitre", "FTPLogin", "login-ftp-zq7w8x9y0v")
    password = rewrite_info_row(data, "ClassementClubMethode", "FTPPassword", "mot-de-passe-ftp-5k3j")
    source = tmp_path / "ftp.papi"
    source.write_bytes(data)
    assert papi.read(str(source)).ftp_credentials
    (tmp_path / "out").mkdir()
    cleaned = papi.clean(str(source), str(tmp_path / "out"))
    assert not papi.read(cleaned.path).ftp_credentials
    data = Path(cleaned.path).read_bytes()
    assert not [form for secret in (login, password) for form in forms(secret) if form in data]


def test_a_contact_left_anywhere_refuses_the_copy(tmp_path):
    name = "fide-17-joueurs-contacts.papi"
    original = content.Papi(jet.Database((FIXTURES / name).read_bytes()))
    with pytest.raises(papi.PapiError) as refused:
        content.check(original, original.db)  # contacts still in the rows
    assert refused.value.reason == papi.UNCLEAN
    cleaned = bytearray(Path(papi.clean(str(FIXTURES / name), str(tmp_path)).path).read_bytes())
    phone = next(values[0] for values in original.contact_values() if values[0])
    # Into the zeroed free space of the last page, where no reader looks.
    cleaned[-100 : -100 + 2 * len(phone)] = phone.encode("utf-16-le")
    with pytest.raises(papi.PapiError) as refused:
        content.check(original, jet.Database(bytes(cleaned)))
    assert refused.value.reason == papi.UNCLEAN


@pytest.mark.parametrize("failing", [False, True])
def test_the_copy_is_removed_whatever_happens(failing):
    folder = None
    with contextlib.suppress(RuntimeError), papi.cleaned_copy(str(FIXTURES / "modele-vide-3.3.8.papi")) as cleaned:
        folder = Path(cleaned.path).parent
        assert Path(cleaned.path).is_file()
        if failing:
            raise RuntimeError
    assert folder is not None and not folder.exists()


def jet_header():
    return (FIXTURES / "modele-vide-3.3.8.papi").read_bytes()[: jet.PAGE]


@pytest.mark.parametrize(
    "make, reason",
    [
        (lambda data: b"", papi.NOT_JET),
        (lambda data: b"Nom;Prenom\n" * 1000, papi.NOT_JET),
        (lambda data: b"\xd0\xcf\x11\xe0" + bytes(range(256)) * 64, papi.NOT_JET),
        (lambda data: data[:0x14] + b"\x00" + data[0x15:], papi.NOT_JET),  # an older Jet
        (lambda data: data[:100], papi.NOT_JET),
        (lambda data: data[: jet.PAGE * 20 + 123], papi.TRUNCATED),
        (lambda data: data[: jet.PAGE * 40], papi.TRUNCATED),
        (lambda data: data[: jet.PAGE], papi.TRUNCATED),
        (lambda data: jet_header() + bytes(jet.PAGE * 9), papi.CORRUPT),
    ],
)
def test_damaged_files_are_refused_with_a_reason(make, reason, tmp_path):
    source = tmp_path / "t.papi"
    source.write_bytes(make((FIXTURES / "jeunes-37-joueurs-emails.papi").read_bytes()))
    (tmp_path / "out").mkdir()
    for attempt in (lambda: papi.read(str(source)), lambda: papi.clean(str(source), str(tmp_path / "out"))):
        with pytest.raises(papi.PapiError) as refused:
            attempt()
        assert refused.value.reason == reason
    assert not list((tmp_path / "out").iterdir())


def test_a_jet_file_without_papi_tables_is_not_papi(tmp_path, monkeypatch):
    monkeypatch.setattr(content, "TABLES", ("INFO", "JOUEUR", "PARTIES"))
    with pytest.raises(papi.PapiError) as refused:
        papi.read(str(FIXTURES / "modele-vide-3.3.8.papi"))
    assert refused.value.reason == papi.NOT_PAPI


def test_a_file_over_the_limit_is_not_read(monkeypatch):
    monkeypatch.setattr(jet, "MAX_FILE", jet.PAGE * 10)
    with pytest.raises(papi.PapiError) as refused:
        papi.read(str(FIXTURES / "modele-vide-3.3.8.papi"))
    assert refused.value.reason == papi.TOO_LARGE


@contextlib.contextmanager
def time_limit(seconds):
    """A hang fails the example instead of the run (where timers exist)."""
    if not hasattr(signal, "setitimer"):
        yield
        return

    def expired(signum, frame):
        raise TimeoutError(f"more than {seconds} s")

    previous = signal.signal(signal.SIGALRM, expired)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


SMALL = (FIXTURES / "jeunes-37-joueurs-emails.papi").read_bytes()
PAGES = len(SMALL) // jet.PAGE
# Where damage matters most: page headers, slot tables, the start of table definitions.
place = st.one_of(
    st.integers(0, len(SMALL) - 1),
    st.builds(lambda page, at: page * jet.PAGE + at, st.integers(0, PAGES - 1), st.integers(0, 200)),
)
mutation = st.tuples(place, st.sampled_from([1, 2, 4]), st.integers(0, 2**32 - 1))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(mutations=st.lists(mutation, min_size=1, max_size=8), cut=st.none() | st.integers(0, len(SMALL)))
@example(mutations=[(94221, 4, 0)], cut=None)  # a row count only the copy's check reads: the copy was left behind
def test_mutated_files_never_crash_and_what_passes_is_clean(mutations, cut, tmp_path_factory):
    data = bytearray(SMALL)
    for at, size, value in mutations:
        at = min(at, len(data) - size)
        data[at : at + size] = (value % 256**size).to_bytes(size, "little")
    source = tmp_path_factory.mktemp("m") / "m.papi"
    source.write_bytes(data[:cut])
    out = source.parent / "out"
    out.mkdir()
    with time_limit(20):
        try:
            cleaned = papi.clean(str(source), str(out))
        except papi.PapiError as error:
            assert error.reason in (papi.NOT_JET, papi.TRUNCATED, papi.CORRUPT, papi.NOT_PAPI, papi.UNCLEAN)
            assert not list(out.iterdir()) or error.reason == papi.UNCLEAN
            return
        again = papi.read(cleaned.path)
    assert (again.phones, again.emails, again.ftp_credentials) == (0, 0, False)
