"""The organiser's menu (velka.exe, or a program of the bundle started with
nothing dropped on it): one key per mode of the command, then the list,
taken from the last folder used or pasted, and a question before anything
is sent for real. Its answers come from the keyboard one key at a time on a
Windows console, else line by line from standard input, so that a script
(or a test) can drive it."""

from __future__ import annotations

import os
import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import TextIO

from trasko import board, messages
from trasko.modes import registry

SENDS = (None, "--suivre", "--reglement")  # what changes the site: asked before
BOARD_KEY, QUIT_KEY = "t", "q"
MOST_LISTS = 9
SKIPPED_FILES = ("lisezmoi.txt", "journal-velka.txt")

SETTINGS_NAME = "velka.ini"
FOLDER_KEY = "dossier="


@dataclass(frozen=True)
class Action:
    key: str
    label: str
    flag: str | None


def actions() -> list[Action]:
    """The command's modes, in the registry's order, each under its key
    (--preparer asks for a folder, the others for a list)."""
    found, spare = [], iter("123456789")
    for flag in registry():
        key, label = messages.MENU_LABELS.get(flag) or (next(spare), str(flag))
        found.append(Action(key, label, flag))
    return found


class Answers:
    """Questions shown, then answered: a key on a Windows console, else a line of input."""

    def __init__(self, stdin: TextIO, stdout: TextIO, key: Callable[[], str] | None = None) -> None:
        self.stdin, self.stdout, self.key = stdin, stdout, key

    def say(self, text: str) -> None:
        print(text, file=self.stdout, flush=True)

    def ask(self, question: str, one_key: bool = False) -> str | None:
        """The answer, blanks and Explorer's quotes around a path taken off; None at the end of the input."""
        self.stdout.write(question)
        self.stdout.flush()
        if one_key and self.key is not None:
            line = self.key()
            self.say(line)
            line = "" if line in ("\x03", "\x1a") else line  # Ctrl-C, Ctrl-Z: the end
        else:
            line = self.stdin.readline()
        if not line:
            return None
        answer = line.strip().strip('"').strip()
        return answer.lower() if one_key else answer


class Settings:
    """The last folder used, in a small file of the user's."""

    def __init__(self, path: Path) -> None:
        self.path = path

    @classmethod
    def users(cls) -> Settings:
        home = os.environ.get("APPDATA") or os.environ.get("XDG_CONFIG_HOME") or os.path.expanduser("~/.config")
        return cls(Path(home) / "velka" / SETTINGS_NAME)

    def folder(self) -> str | None:
        try:
            text = self.path.read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError):
            return None
        found = [line[len(FOLDER_KEY) :] for line in text.splitlines() if line.startswith(FOLDER_KEY)]
        return found[-1] if found and os.path.isdir(found[-1]) else None

    def remember(self, folder: str) -> None:
        try:
            self.path.parent.mkdir(parents=True, exist_ok=True)
            self.path.write_text(FOLDER_KEY + folder + "\n", encoding="utf-8")
        except OSError:
            pass  # the menu works without it; it only offers fewer lists next time


Start = Callable[[list[str]], int]


class Menu:
    def __init__(
        self, answers: Answers, settings: Settings, start: Start, show: Callable[[str], object], site: str | None = None
    ) -> None:
        self.answers, self.settings, self.start, self.show = answers, settings, start, show
        self.target = messages.MENU_A_COPY.format(url=site) if site else messages.MENU_THE_SITE
        self.status = 0

    def run(self) -> int:
        try:
            while self._once():
                pass
        except KeyboardInterrupt:
            self.answers.say("")
        return self.status

    def _once(self) -> bool:
        say = self.answers.say
        offered = actions()
        say(messages.MENU_TITLE)
        for action in offered:
            say(messages.MENU_ITEM.format(key=action.key, label=action.label))
        say(messages.MENU_ITEM.format(key=BOARD_KEY, label=messages.MENU_BOARD_ITEM))
        say(messages.MENU_ITEM.format(key=QUIT_KEY, label=messages.MENU_QUIT_ITEM))
        answer = self.answers.ask(messages.MENU_CHOICE, one_key=True)
        if answer is None or answer == QUIT_KEY:
            return False
        chosen = next((action for action in offered if action.key == answer), None)
        if answer == BOARD_KEY:
            self._open_board()
        elif chosen is None:
            say(messages.MENU_UNKNOWN_CHOICE.format(answer=answer))
        else:
            return self._carry_out(chosen)
        return True

    def _carry_out(self, action: Action) -> bool:
        if action.flag == "--preparer":
            return self._prepare()
        listing = self._which_list()
        if listing is None:
            return True
        args = [action.flag] if action.flag else []
        if action.flag == "--reglement":
            pdf = self.answers.ask(messages.MENU_WHICH_PDF)
            if not pdf:
                return pdf is not None
            args.append(os.path.abspath(pdf))
        if action.flag in SENDS:
            sure = self.answers.ask(messages.MENU_FOR_REAL.format(label=action.label, target=self.target), one_key=True)
            if sure != "o":
                self.answers.say(messages.MENU_NOT_SENT)
                return sure is not None
        self.status = self.start([*args, listing])
        return self._done()

    def _prepare(self) -> bool:
        """A list written from a folder's Papi files, the folder then offered for its lists."""
        answer = self.answers.ask(messages.MENU_WHICH_FOLDER)
        if not answer:
            return answer is not None
        folder = os.path.abspath(answer)
        if os.path.isfile(folder):  # a Papi file dropped in the window: its folder
            folder = os.path.dirname(folder)
        self.status = self.start(["--preparer", folder])
        if self.status == 0:
            self.settings.remember(folder)
        return self._done()

    def _done(self) -> bool:
        outcomes = messages.MENU_OUTCOMES
        self.answers.say(messages.MENU_DONE.format(outcome=outcomes.get(self.status, outcomes[1])))
        return True

    def _which_list(self) -> str | None:
        """The list chosen (its full path), or None to go back to the menu."""
        folder = self.settings.folder()
        lists = _lists(folder) if folder else []
        if folder and lists:
            self.answers.say(messages.MENU_LISTS_OF.format(folder=folder))
            for number, name in enumerate(lists, 1):
                self.answers.say(messages.MENU_LIST_ITEM.format(number=number, name=name))
        while True:
            answer = self.answers.ask(messages.MENU_WHICH_LIST)
            if not answer:
                return None
            if answer.isdigit() and folder and 1 <= int(answer) <= len(lists):
                answer = os.path.join(folder, lists[int(answer) - 1])
            path = os.path.abspath(answer)
            if os.path.isfile(path):
                self.settings.remember(os.path.dirname(path))
                return path
            self.answers.say(messages.MENU_NO_SUCH_LIST.format(path=answer))

    def _open_board(self) -> None:
        folder = self.settings.folder()
        page = os.path.join(folder, board.FILE_NAME) if folder else ""
        if page and os.path.isfile(page):
            self.show(page)
        else:
            self.answers.say(messages.MENU_NO_BOARD)


def _lists(folder: str) -> list[str]:
    try:
        names = sorted(entry.name for entry in os.scandir(folder) if entry.is_file())
    except OSError:
        return []
    return [n for n in names if n.lower().endswith(".txt") and n.lower() not in SKIPPED_FILES][:MOST_LISTS]


def _open_in_browser(page: str) -> None:
    if os.name == "nt":
        os.startfile(page)  # type: ignore[attr-defined,unused-ignore]  # the user's own browser, as a double-click would
    else:
        import webbrowser

        webbrowser.open(Path(page).as_uri())


def _console_key() -> Callable[[], str] | None:
    if os.name != "nt" or not sys.stdin.isatty():
        return None
    import msvcrt

    getwch: Callable[[], str] = msvcrt.getwch  # type: ignore[attr-defined,unused-ignore]
    return getwch


def run(start: Start, site: str | None = None) -> int:
    """The menu on this process's own console or input, until the organiser
    leaves; `site`, the copy of the site its runs go to when not the real one."""
    answers = Answers(sys.stdin, sys.stdout, _console_key())
    return Menu(answers, Settings.users(), start, _open_in_browser, site).run()
