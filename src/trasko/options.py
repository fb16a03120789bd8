"""The command line. Parsed by hand: the options are few, every message is
French, and `trasko --help` stays as quick to start as the interpreter."""

from __future__ import annotations

import os
import sys
from collections.abc import Iterator
from dataclasses import dataclass, field
from urllib.parse import urlsplit

from trasko import messages

DEFAULT_INTERVAL = 30.0
DEFAULT_WAIT = 60.0

HELP = """\
utilisation : trasko [OPTIONS] FICHIER-LISTE
              trasko [OPTIONS] -- FICHIER-LISTE   (nom commençant par « -- »)
              trasko [OPTIONS] -                  (la liste lue sur l'entrée standard)

Publie sur le site d'administration des tournois de la FFE chaque tournoi du
fichier-liste (une ligne par tournoi : identifiant ; mot de passe ; fichier
Papi ; visibilité 1 ou 0 ; clé), puis dit ce qui s'est passé.

La sortie standard est celle de toujours (sans mot de passe) ; les problèmes
(ligne, identifiant et cause, jamais le mot de passe) et le bilan vont sur la
sortie d'erreur. Les lignes dont le premier champ commence par « # » sont des
commentaires.

options :
  --verifier            se connecte seulement, pour chaque ligne, et affiche
                        « connexion acceptée : IDENTIFIANT -> PAGE-PUBLIQUE »
                        ou « connexion refusée : IDENTIFIANT » ; rien n'est
                        envoyé ni affiché/masqué
  --repetition          répétition : fait tout ce que la publication vérifie
                        (fichiers Papi lus, copie sans contacts faite puis
                        effacée, connexion au site) mais n'envoie rien
  --continuer           tente chaque ligne, même après un échec
  --suivre              publie la liste, puis surveille les fichiers Papi et
                        republie chaque tournoi dont le fichier a changé, une
                        fois ce fichier stable pendant un intervalle entier ;
                        retente les échecs ; Ctrl-C pour arrêter
  --intervalle SECONDES intervalle de --suivre (défaut : 30)
  --delai SECONDES      attente maximale d'une réponse du site (défaut : 60) ;
                        un envoi a en plus le temps de passer à 200 kbit/s
  --rapport FICHIER     écrit dans FICHIER, à la fin, une ligne JSON par ligne
                        de la liste (avec --suivre : après chaque tour)
  --site URL            un autre exemplaire du site (le site local de
                        répétition), par exemple http://127.0.0.1:8080
  --facture             enregistre la facture des droits d'homologation de
                        chaque tournoi (facture-IDENTIFIANT.html) ; rien
                        n'est envoyé ni affiché/masqué
  --dossier DOSSIER     où --facture enregistre les factures (défaut : le
                        dossier courant)
  --reglement FICHIER   envoie le règlement intérieur FICHIER (un PDF) à
                        chaque tournoi de la liste
  --tel-quel            envoie les fichiers Papi tels quels, avec les
                        téléphones et e-mails des joueurs (sans cette option,
                        trasko envoie une copie d'où il les a retirés, car la
                        FFE publie le fichier) : pour un fichier que trasko
                        ne sait pas nettoyer
  --preparer DOSSIER    écrit dans DOSSIER une liste des fichiers Papi qu'il
                        contient (tournois.txt), à compléter des mots de passe
  --help, -h            cette aide
  --version             la version

code de sortie :
  0  chaque ligne utilisable a été publiée (--verifier : chaque connexion
     acceptée ; --suivre : chaque tournoi suivi est en ligne)
  1  au moins un tournoi n'a pas été publié : ligne signalée, série arrêtée,
     fichier refusé, connexion refusée, site injoignable ou muet (--suivre :
     un tournoi suivi n'est pas en ligne dans sa version actuelle)
  2  erreur d'utilisation, ou fichier-liste illisible
  --facture : 0 quand chaque facture est enregistrée (ou le tournoi exempté) ;
  --reglement : 0 quand chaque tournoi a confirmé le règlement, 2 quand le
  fichier n'est pas un PDF (rien n'est alors envoyé)

"""

# The examples are the ones the reader can type: Windows has no grep nor
# pipe habit, and its organisers run the bundle's programs.
EXAMPLES = {
    "posix": """\
exemples :
  trasko tournois.txt
  trasko --verifier tournois.txt
  trasko --continuer tournois.txt
  trasko --suivre --intervalle 60 --rapport etat.jsonl tournois.txt
  grep -v blitz tournois.txt | trasko -
  trasko --site http://127.0.0.1:8080 tournois.txt
  trasko --facture --dossier factures tournois.txt
  trasko --reglement reglement.pdf tournois.txt
  trasko --preparer "C:\\Papi\\Tournois"
  trasko -- --liste-du-club.txt
""",
    "nt": r"""exemples (invite de commandes, dans le dossier de la liste ; chaque
programme du dossier velka prend les options ci-dessus) :
  publier.exe tournois.txt
  verifier.exe tournois.txt
  publier.exe --continuer tournois.txt
  suivre.exe --intervalle 60 --rapport etat.jsonl tournois.txt
  publier.exe --site http://127.0.0.1:8080 tournois.txt
  facture.exe --dossier factures tournois.txt
  reglement.exe reglement.pdf tournois.txt
  preparer.exe "C:\Papi\Tournois"
  "C:\velka\publier.exe" "C:\Tournois\Club&Co\Été 2026\tournois.txt"
  py -3.12 -m trasko tournois.txt      (velka installé par pip : trasko.exe)
  publier.exe -- --liste-du-club.txt
""",
}


def help_text(system: str = os.name) -> str:
    return HELP + EXAMPLES["nt" if system == "nt" else "posix"]


class UsageError(Exception):
    """A command line that cannot be run; `no_list` when the list is what lacks."""

    def __init__(self, message: str, no_list: bool = False) -> None:
        super().__init__(message)
        self.no_list = no_list


@dataclass
class Options:
    """What the command line asks for; `given` names the options it holds."""

    list_file: str = ""
    interval: float = DEFAULT_INTERVAL
    site: str | None = None
    wait: float = DEFAULT_WAIT
    report: str | None = None
    folder: str | None = None
    rules: str | None = None
    prepare: str | None = None  # --preparer's folder
    given: set[str] = field(default_factory=set)

    @property
    def keep_going(self) -> bool:
        return "--continuer" in self.given

    @property
    def as_is(self) -> bool:
        return "--tel-quel" in self.given


def parse(args: list[str]) -> Options | None:
    """The options of `args`; None once --help or --version has been answered."""
    options = Options()
    files: list[str] = []
    rest = iter(args)
    for arg in rest:
        if arg == "--":
            files.extend(rest)
        elif arg in ("-h", "--help"):
            sys.stdout.write(help_text())
            return None
        elif arg == "--version":
            print(f"trasko {_version()}")
            return None
        elif arg.startswith("-") and arg != "-":
            _option(options, arg, rest)
        else:
            files.append(arg)
    return _checked(options, files)


def _option(options: Options, arg: str, rest: Iterator[str]) -> None:
    name, equals, value = arg.partition("=")
    options.given.add(name)
    if name in ("--verifier", "--repetition", "--continuer", "--suivre", "--facture", "--tel-quel") and not equals:
        pass
    elif name == "--intervalle":
        options.interval = _seconds(name, value if equals else next(rest, None))
    elif name == "--delai":
        options.wait = _seconds(name, value if equals else next(rest, None))
    elif name == "--rapport":
        options.report = value if equals else next(rest, None)
        if not options.report:
            raise UsageError("--rapport attend un nom de fichier")
    elif name == "--site":
        options.site = _site(value if equals else next(rest, None))
    elif name in ("--dossier", "--reglement", "--preparer"):
        path = _path(name, value if equals else next(rest, None))
        setattr(options, {"--dossier": "folder", "--reglement": "rules", "--preparer": "prepare"}[name], path)
    else:
        raise UsageError(f"option inconnue : {arg}")


def _seconds(name: str, value: str | None) -> float:
    try:
        seconds = float((value or "").replace(",", "."))
    except ValueError:
        seconds = -1.0
    if not 0 < seconds < 1e6:
        raise UsageError(f"{name} attend une durée en secondes (nombre positif), pas « {value or ''} »")
    return seconds


def _site(value: str | None) -> str:
    url = (value or "").rstrip("/")
    try:
        parts = urlsplit(url)
        valid = url.startswith(("http://", "https://")) and bool(parts.hostname) and parts.port != 0
    except ValueError:  # a port out of range, a malformed address
        valid = False
    if not valid:
        raise UsageError(f"--site attend une adresse http://… ou https://…, pas « {value or ''} »")
    return url


def _path(option: str, value: str | None) -> str:
    if not value:
        raise UsageError(f"{option} attend un nom de {'fichier' if option == '--reglement' else 'dossier'}")
    return value


def _modes_checked(given: set[str]) -> None:
    from trasko.modes import registry

    for mode in registry().values():
        for option in mode.owns:
            if option in given and mode.flag not in given:
                raise UsageError(messages.ONLY_WITH.format(option=option, flag=mode.flag))
        for refused, text in mode.refuses if mode.flag in given else ():
            if given & refused:
                raise UsageError(text.format(flag=mode.flag))


def _checked(options: Options, files: list[str]) -> Options:
    if "--preparer" in options.given:  # the folder is its argument: no list
        if files:
            raise UsageError(messages.PREPARE_NO_LIST)
        _modes_checked(options.given)
        return options
    if not files or files == [""]:
        raise UsageError("aucun fichier-liste indiqué", no_list=True)
    if "" in files:
        raise UsageError('un nom de fichier-liste vide (« "" ») a été donné')
    if len(files) > 1:
        raise UsageError(f"un seul fichier-liste à la fois (reçu : {len(files)})")
    _modes_checked(options.given)
    options.list_file = files[0]
    return options


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("velka")
    except PackageNotFoundError:
        return "inconnue"
