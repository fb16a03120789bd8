"""--verifier: each tournament's codes tried on the site before the event.
The module's own dialogue runs up to the login's answer and no further."""

from __future__ import annotations

from trasko import listing, report, site
from trasko.listing import Line
from trasko.observe import Watch
from trasko.options import NOT_PUBLISHED


def run(lines: list[Line]) -> int:
    watch = Watch()
    accepted = refused = 0
    with watch.installed():
        for line in lines:
            if line.kind == listing.BLANK:
                continue
            if line.kind == listing.MALFORMED and len(line.fields) < 3:
                report.say(f"{line.label()} : ligne incorrecte")
                refused += 1
                continue
            ok = _check(watch, line)
            accepted, refused = accepted + ok, refused + (not ok)
    report.say(
        f"bilan : {report.plural(accepted, 'connexion acceptée', 'connexions acceptées')}, "
        f"{report.plural(refused, 'non acceptée')}"
    )
    return NOT_PUBLISHED if refused else 0


def _check(watch: Watch, line: Line) -> bool:
    # No Papi file is opened before the upload, which is never reached here.
    attempt = watch.attempt(
        lambda: watch.velka.envoi_tournoi(line.login, line.password, line.papi_path(), line.visible),
        stop_after_login=True,
    )
    if attempt.lost is not None or len(attempt.pages) < 2:
        cause = attempt.lost or f"réponse inattendue du site ({type(attempt.error).__name__})"
        report.say(f"{line.label()} : {cause}")
        return False
    url = site.public_url(attempt.pages[1])
    print(
        f"connexion acceptée : {line.login} -> {url}" if url else f"connexion refusée : {line.login}",
        flush=True,
    )
    return url is not None
