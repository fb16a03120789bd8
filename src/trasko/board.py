"""The status board, `etat-velka.html` beside the list: one card per line of
the list with its badge (en ligne, en attente, nouvel essai à HH:MM, échec
and its cause, clos), the round online, the time of the last publication
and the public link. One file with its style inside and no script, that
reloads itself while a watch runs and reads on a phone's screen; rewritten
whole each time, so a browser never shows half of it."""

from __future__ import annotations

import html
import os
import tempfile
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

from trasko import messages

if TYPE_CHECKING:
    from trasko.json_report import Entry

FILE_NAME = "etat-velka.html"
REFRESH_SECONDS = 15

ONLINE = "en-ligne"
WAITING = "en-attente"
RETRY = "nouvel-essai"
FAILED = "echec"
CLOSED = "clos"

STYLE = """
body { font-family: Segoe UI, Roboto, Arial, sans-serif; margin: 0; padding: .8em; background: #f4f5f7; }
h1 { font-size: 1.25em; margin: 0 0 .2em; }
p.etat { margin: 0 0 .8em; color: #444; }
.ligne { background: #fff; border-radius: .5em; padding: .6em .8em; margin: 0 0 .6em;
  box-shadow: 0 1px 2px rgba(0,0,0,.15); overflow-wrap: anywhere; }
.tete { display: flex; flex-wrap: wrap; gap: .3em .6em; align-items: baseline; }
.nom { font-weight: bold; }
.badge { display: inline-block; border-radius: 1em; padding: .1em .7em; color: #fff; font-size: .95em; }
.en-ligne { background: #1e7b34; } .en-attente { background: #6c757d; } .nouvel-essai { background: #b35c00; }
.echec { background: #b3261e; } .clos { background: #34495e; }
.details { color: #333; margin-top: .3em; }
"""


@dataclass(frozen=True)
class Line:
    """What the board shows of one line of the list."""

    number: int
    badge: str  # ONLINE, WAITING, RETRY, FAILED or CLOSED
    login: str | None = None  # None when the field may hold a password
    tournament: str = ""
    round: str = ""
    cause: str = ""  # why it failed, for FAILED
    retry_at: str = ""  # HH:MM, for RETRY
    published_at: str = ""  # HH:MM of the last publication, "" when none
    link: str = ""  # the public page


def of_entry(entry: Entry, clock: Callable[[float], str], retry_at: float | None = None, newer: bool = False) -> Line:
    """What the board shows of a line's last outcome: `clock` writes a time
    HH:MM, `retry_at` is when a failure is tried again, `newer` whether a
    version newer than the one online waits to be sent."""
    from trasko.judge import State

    published = entry.state in (State.PUBLISHED, State.WARNED)
    if published:
        badge = WAITING if newer else ONLINE
    elif entry.state is State.UNTRIED:
        badge = WAITING
    elif entry.cause == messages.CLOSED:
        badge = CLOSED
    else:
        badge = RETRY if retry_at is not None else FAILED
    papi = entry.papi
    # The round of the file that went online; a failed line's file is not online.
    online = papi if published and papi is not None and papi.active_round else None
    return Line(
        number=entry.line.number,
        badge=badge,
        login=entry.line.login or None,
        tournament=papi.name if papi is not None else "",
        round=messages.BOARD_ROUND_OF.format(active=online.active_round, rounds=online.rounds) if online else "",
        cause=entry.cause,
        retry_at=clock(retry_at) if retry_at is not None else "",
        published_at=clock(entry.when) if published and entry.when else "",
        link=entry.public_url or "",
    )


def render(lines: Iterable[Line], listing: str, time: str, watching: bool) -> str:
    """The board's page for the list named `listing`, as of `time` (HH:MM:SS)."""
    e = html.escape
    title = messages.BOARD_TITLE.format(listing=listing)
    cards = "".join(_card(line) for line in lines)
    state = messages.BOARD_WATCHING if watching else messages.BOARD_FINISHED
    return (
        '<!DOCTYPE html>\n<html lang="fr">\n<head>\n<meta charset="utf-8">\n'
        f'<meta http-equiv="refresh" content="{REFRESH_SECONDS}">\n'
        '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
        f"<title>{e(title)}</title>\n<style>{STYLE}</style>\n</head>\n<body>\n"
        f'<h1>{e(title)}</h1>\n<p class="etat">{e(state)} {e(messages.BOARD_UPDATED.format(time=time))}</p>\n'
        f"{cards}</body>\n</html>\n"
    )


def _card(line: Line) -> str:
    e = html.escape
    badge = line.badge if line.badge in messages.BOARD_BADGE_TEXT else WAITING
    text = messages.BOARD_BADGE_TEXT[badge].format(retry_at=line.retry_at, cause=line.cause)
    name = " — ".join(part for part in (line.login or "", line.tournament) if part)
    details = [messages.BOARD_ROUND.format(round=line.round)] if line.round else []
    published = messages.BOARD_PUBLISHED.format(time=line.published_at)
    details.append(published if line.published_at else messages.BOARD_NOT_PUBLISHED)
    link = ""
    if line.link.startswith(("http://", "https://")):  # never a script or a file as a link
        link = f' · <a href="{e(line.link)}">{e(messages.BOARD_LINK)}</a>'
    return (
        f'<section class="ligne" id="ligne-{line.number}">\n<div class="tete">'
        f"<span>{e(messages.BOARD_LINE.format(number=line.number))}</span>"
        f'<span class="nom">{e(name)}</span>'
        f'<span class="badge {badge}">{e(text)}</span></div>\n'
        f'<div class="details">{e(" · ".join(details))}{link}</div>\n</section>\n'
    )


def write(list_file: str, lines: Iterable[Line], time: str, watching: bool) -> Path | None:
    """Writes the board beside `list_file`; its path, or None when the folder
    refuses it (the board never stops the work it reports)."""
    folder = Path(os.path.abspath(list_file)).parent
    page = render(lines, Path(list_file).name, time, watching)
    target = folder / FILE_NAME
    try:
        # A new file of its own (never through a link someone left), then renamed over the board.
        handle, part = tempfile.mkstemp(dir=folder, prefix=".etat-velka-", suffix=".part")
    except OSError:
        return None
    try:
        with os.fdopen(handle, "w", encoding="utf-8", newline="\n") as file:
            file.write(page)
        os.chmod(part, 0o644)  # mkstemp's file is its owner's alone; a board is for any reader
        os.replace(part, target)
    except OSError:
        _remove(part)
        return None
    return target


def _remove(path: str) -> None:
    try:
        os.remove(path)
    except OSError:
        pass
