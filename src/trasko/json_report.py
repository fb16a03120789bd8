"""--rapport FICHIER: for scripts, one JSON object per line of the list (JSON
lines), rewritten whole at the end of each run or --suivre round. Keys:
"ligne", "identifiant" (null when the field may hold a password),
"resultat", "cause", "page_publique", "octets_envoyes", "heure". No password:
only what the stderr lines already say."""

from __future__ import annotations

import json
import os
import time
from dataclasses import dataclass

from trasko import messages
from trasko.exchange import file_error
from trasko.judge import Outcome, State
from trasko.listing import Line
from trasko.report import Environment


@dataclass
class Entry:
    line: Line
    state: State
    cause: str = ""
    public_url: str | None = None
    sent: int = 0
    when: float = 0.0

    @classmethod
    def of(cls, line: Line, outcome: Outcome, when: float) -> Entry:
        return cls(line, outcome.state, outcome.cause, outcome.public_url, outcome.sent, when)

    def record(self, now: float, failed: str) -> dict[str, object]:
        return {
            "ligne": self.line.number,
            "identifiant": self.line.login or None,
            "resultat": failed if self.state is State.FAILED else str(self.state),
            "cause": self.cause,
            "page_publique": self.public_url,
            "octets_envoyes": self.sent,
            "heure": time.strftime("%Y-%m-%dT%H:%M:%S%z", time.localtime(self.when or now)),
        }


def write(env: Environment, path: str | None, entries: list[Entry], failed: str = State.FAILED) -> bool:
    """Writes the report (when asked for), `failed` naming a failure; False,
    said on standard error, when it cannot be written."""
    if path is None:
        return True
    now = env.now()
    text = "".join(json.dumps(entry.record(now, failed), ensure_ascii=False) + "\n" for entry in entries)
    partial = f"{path}.partiel"
    try:
        with open(partial, "w", encoding="utf-8", newline="\n") as file:
            file.write(text)
        os.replace(partial, path)
    except OSError as error:
        env.say(messages.REPORT_UNWRITABLE.format(name=path, reason=file_error(error)))
        return False
    return True
