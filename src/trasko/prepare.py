"""--preparer DOSSIER: a list written from the Papi files of a folder, one
line per file (its homologation number as the login, its full path, shown,
a key from its name), with MOT-DE-PASSE where the organiser types each
password. An existing file is never overwritten: the list takes a free name."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING

from trasko import messages, papi
from trasko.exchange import file_error
from trasko.listing import SEPARATORS
from trasko.modes import Status
from trasko.papi_copy import CAUSES, unchecked
from trasko.report import Environment

if TYPE_CHECKING:
    from trasko.listing import Line
    from trasko.options import Options

LIST_NAME = "tournois"
PASSWORD = "MOT-DE-PASSE"
NUMBER = "NUMERO"
MAX_NAMES = 1000  # tournois.txt, tournois-2.txt, ...: past this, something is wrong


def run(env: Environment, options: Options, _: list[Line]) -> Status:
    folder = options.prepare or "."
    try:
        names = sorted(name for name in os.listdir(folder) if name.lower().endswith(".papi"))
    except OSError as error:
        env.say(messages.PREPARE_FOLDER_UNUSABLE.format(folder=folder, reason=file_error(error)))
        return Status.USAGE
    lines = [messages.PREPARE_HEADER]
    for name in names:
        lines += _lines(env, os.path.abspath(os.path.join(folder, name)))
    count = sum(not line.startswith("#") for line in lines)
    if len(lines) == 1:
        env.say(messages.PREPARE_NOTHING.format(folder=folder))
        return Status.NOT_DONE
    return _write(env, folder, lines, count)


def _lines(env: Environment, path: str) -> list[str]:
    """The lines of one Papi file; none, and why, for a file that cannot be one."""
    name = os.path.basename(path)
    if any(separator in path for separator in SEPARATORS):
        env.say(messages.PREPARE_SKIPPED.format(name=name, cause=messages.PREPARE_SEPARATOR))
        return []
    try:
        tournament = papi.read(path)
    except papi.PapiError as error:
        env.say(messages.PREPARE_SKIPPED.format(name=name, cause=CAUSES[error.reason]))
        return []
    except OSError as error:
        env.say(messages.PREPARE_SKIPPED.format(name=name, cause=file_error(error)))
        return []
    key = os.path.splitext(name)[0]
    if unchecked(tournament):
        env.say(messages.PREPARE_NO_NUMBER_SAID.format(name=name))
        return [messages.PREPARE_NO_NUMBER, f"# {NUMBER};{PASSWORD};{path};1;{key}"]
    return [f"{tournament.homologation};{PASSWORD};{path};1;{key}"]


def _write(env: Environment, folder: str, lines: list[str], count: int) -> Status:
    for number in range(1, MAX_NAMES + 1):
        target = os.path.join(folder, f"{LIST_NAME}{'' if number == 1 else f'-{number}'}.txt")
        try:
            with open(target, "x", encoding="utf-8") as file:
                file.write("\n".join(lines) + "\n")
        except FileExistsError:
            continue
        except OSError as error:
            env.say(messages.PREPARE_UNWRITABLE.format(path=target, reason=file_error(error)))
            return Status.NOT_DONE
        env.say(messages.PREPARE_DONE.format(path=target, lines=messages.plural(count, messages.N_LINES)))
        return Status.DONE
    env.say(messages.PREPARE_UNWRITABLE.format(path=folder, reason=messages.PREPARE_NO_FREE_NAME))
    return Status.NOT_DONE
