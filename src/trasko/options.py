"""The command line. Parsed by hand: the options are few, every message is
French, and `trasko --help` stays as quick to start as the interpreter."""

from __future__ import annotations

import sys

PUBLISHED = 0
NOT_PUBLISHED = 1
USAGE_ERROR = 2
DEFAULT_INTERVAL = 30.0

HELP = """\
utilisation : trasko [OPTIONS] FICHIER-LISTE
              trasko [OPTIONS] -- FICHIER-LISTE   (nom commençant par « -- »)

Publie sur le site d'administration des tournois de la FFE chaque tournoi du
fichier-liste (une ligne par tournoi : identifiant ; mot de passe ; fichier
Papi ; visibilité 1 ou 0 ; clé), puis dit ce qui s'est passé.

La sortie standard est celle de toujours ; les problèmes (ligne, identifiant
et cause, jamais le mot de passe) et le bilan vont sur la sortie d'erreur.

options :
  --verifier            se connecte seulement, pour chaque ligne, et affiche
                        « connexion acceptée : IDENTIFIANT -> PAGE-PUBLIQUE »
                        ou « connexion refusée : IDENTIFIANT » ; rien n'est
                        envoyé ni affiché/masqué
  --continuer           tente chaque ligne, même après un échec
  --suivre              publie la liste, puis surveille les fichiers Papi et
                        republie chaque tournoi dont le fichier a changé, une
                        fois ce fichier stable pendant un intervalle entier ;
                        Ctrl-C pour arrêter
  --intervalle SECONDES intervalle de --suivre (défaut : 30)
  --site URL            un autre exemplaire du site (le site local de
                        répétition), par exemple http://127.0.0.1:8080
  --help, -h            cette aide
  --version             la version

code de sortie :
  0  chaque ligne utilisable a été publiée (--verifier : chaque connexion
     acceptée ; --suivre : la dernière publication a réussi)
  1  au moins un tournoi n'a pas été publié : ligne signalée, série arrêtée,
     fichier refusé, connexion refusée, site injoignable
  2  erreur d'utilisation, ou fichier-liste illisible

exemples :
  trasko tournois.txt
  trasko --verifier tournois.txt
  trasko --continuer tournois.txt
  trasko --suivre --intervalle 60 tournois.txt
  trasko --site http://127.0.0.1:8080 tournois.txt
  trasko -- --liste-du-club.txt
"""


class UsageError(Exception):
    """A command line that cannot be run; `no_list` when the list is what lacks."""

    def __init__(self, message: str, no_list: bool = False) -> None:
        super().__init__(message)
        self.no_list = no_list


class Options:
    """What the command line asks for."""

    def __init__(self) -> None:
        self.list_file = ""
        self.check = False
        self.keep_going = False
        self.follow = False
        self.interval: float | None = None
        self.site: str | None = None


def parse(args: list[str]) -> Options | None:
    """The options of `args`; None once --help or --version has been answered."""
    options = Options()
    files: list[str] = []
    rest = iter(args)
    for arg in rest:
        if arg == "--":
            files.extend(rest)
        elif arg in ("-h", "--help"):
            sys.stdout.write(HELP)
            return None
        elif arg == "--version":
            print(f"trasko {_version()}")
            return None
        elif arg.startswith("-") and arg != "-":
            _option(options, arg, rest)
        else:
            files.append(arg)
    return _checked(options, files)


def _option(options: Options, arg: str, rest) -> None:
    name, equals, value = arg.partition("=")
    flags = {"--verifier": "check", "--continuer": "keep_going", "--suivre": "follow"}
    if name in flags and not equals:
        setattr(options, flags[name], True)
    elif name == "--intervalle":
        options.interval = _interval(value if equals else next(rest, None))
    elif name == "--site":
        options.site = _site(value if equals else next(rest, None))
    else:
        raise UsageError(f"option inconnue : {arg}")


def _interval(value: str | None) -> float:
    try:
        seconds = float(value or "")
    except ValueError:
        seconds = -1.0
    if not 0 < seconds < 1e6:
        raise UsageError(f"--intervalle attend une durée en secondes (nombre positif), pas « {value or ''} »")
    return seconds


def _site(value: str | None) -> str:
    url = (value or "").rstrip("/")
    if not url.startswith(("http://", "https://")) or len(url.split("://", 1)[1]) == 0:
        raise UsageError(f"--site attend une adresse http://… ou https://…, pas « {value or ''} »")
    return url


def _checked(options: Options, files: list[str]) -> Options:
    if not files or files[0] == "":
        raise UsageError("aucun fichier-liste indiqué", no_list=True)
    if len(files) > 1:
        raise UsageError(f"un seul fichier-liste à la fois (reçu : {len(files)})")
    if options.check and (options.follow or options.keep_going):
        raise UsageError("--verifier ne se combine ni avec --suivre ni avec --continuer")
    if options.interval is not None and not options.follow:
        raise UsageError("--intervalle ne sert qu'avec --suivre")
    options.list_file = files[0]
    if options.interval is None:
        options.interval = DEFAULT_INTERVAL
    return options


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("velka")
    except PackageNotFoundError:
        return "inconnue"
