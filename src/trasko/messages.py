"""Every text the command writes, in one place.

Two families:
- the module's batch lines (standard output), word for word as the module's
  own batch prints them, so that the command's standard output stays the
  module's;
- the command's own French texts (standard error and the JSON report): the
  cause of each outcome, the per-line reports, the summaries.

A cause never quotes what a list line holds beyond its login and its Papi
path, so no text here can carry a password. The constants stand line after
line in families of the same shape: that repetition is the table itself. A new errand adds its texts
here, beside these, and composes them with the helpers at the end.
"""

from __future__ import annotations

# --- the module's batch lines (standard output) ------------------------------
ENVOI_DE = "trasko - envoi de:"
FORMAT_INCORRECT = "#### Format de ligne incorrecte:"
PAPI_INTROUVABLE = "--------------- Fichier papi introuvable: {}"
LIST_INTROUVABLE = " tournoi list introuvable :"
SYNTAXE = "syntaxe: trasko fichier-tournoi"
# What stands in the module's lines for a text that may hold a password.
MASK = "********"
MASKED_LINE = "[ligne {number} masquée : elle contient peut-être un mot de passe]"
MASKED_FIELD = "[champ masqué : il contient peut-être une partie du mot de passe]"

# --- causes of a dialogue's outcome ------------------------------------------
LOGIN_REFUSED = "connexion refusée"
SITE_ERROR = "erreur du site (HTTP {status})"
UNEXPECTED_PAGE = "page inattendue du site"
UNEXPECTED_PAGE_AT = "page inattendue du site ({where})"
INCOMPLETE_FORM = "formulaire incomplet"
LOGGED_OUT = "retour à la page de connexion"
CLOSED = "tournoi clos ou archivé : le site n'accepte plus de fichier Papi pour lui"
FILE_REFUSED = "fichier refusé par le site : {verdict}"
NOT_CONFIRMED = "envoi du fichier non confirmé par le site"
UNREACHABLE = "site injoignable : {cause}"
SILENT = "site muet après {seconds:g} s"
UNDECODABLE = "réponse illisible du site (pas en UTF-8)"
PAPI_UNREADABLE = "fichier Papi illisible : {reason}"
VISIBILITY_UNSET = "publié ; affichage non réglé : {why}"
NO_BUTTON = "bouton afficher/masquer absent de la page"
UNKNOWN_LABEL = "libellé du bouton afficher/masquer inconnu « {label} »"
TOGGLE_NOT_TAKEN = "le site n'a pas pris le bouton afficher/masquer"
DIALOGUE_CUT = "dialogue interrompu avant la fin"

# The network causes, from the innermost error of the library.
NET_REFUSED = "connexion refusée par la machine du site (aucun service à cette adresse)"
NET_NAME = "nom du site inconnu (adresse mal écrite, ou pas de réseau)"
NET_RESET = "connexion coupée par le site"
NET_CLOSED = "le site a fermé la connexion sans répondre"
NET_TOO_MANY_REDIRECTS = "trop de redirections"
NET_CERTIFICATE = "certificat du site refusé"
NET_OTHER = "erreur réseau ({name})"

# What a file system error means, for the list or a Papi file.
FILE_IS_FOLDER = "c'est un dossier"
FILE_DENIED = "droits insuffisants"
FILE_MISSING = "fichier introuvable"
FILE_UNOPENABLE = "ouverture impossible"

# --- the lines of a list -------------------------------------------------------
# Counted nouns of the summaries: (one, many).
N_PUBLISHED = ("publié", "publiés")
N_NOT_PUBLISHED = ("non publié", "non publiés")
N_UNTRIED = ("non tenté", "non tentés")
N_ACCEPTED = ("connexion acceptée", "connexions acceptées")
N_REFUSED = ("non acceptée", "non acceptées")
N_FILES = ("fichier", "fichiers")
N_WATCHED = ("fichier Papi suivi", "fichiers Papi suivis")
AND_MORE = "{names} et {more} autres"
MALFORMED = "ligne incorrecte"
MALFORMED_BLANKS = "ligne incorrecte : séparez les champs par « ; » (pas par des blancs ni des tabulations)"
PAPI_MISSING = "fichier Papi introuvable"
PAPI_FOLDER = "le fichier Papi indiqué est un dossier : indiquez le fichier .papi qu'il contient"
PAPI_DENIED = "fichier Papi inaccessible : droits insuffisants sur lui ou sur son dossier"
SPLIT_PASSWORD = "le mot de passe contient peut-être « , » ou « ; »"
EMPTY_PASSWORD = "mot de passe vide"
EMPTY_LOGIN = "identifiant vide"

# --- what the command adds on standard error -----------------------------------
LINE_LABEL = "ligne {number} ({login})"
LINE_LABEL_BARE = "ligne {number}"
LINE_CAUSE = "{label} : {cause}"
STAMPED = "[{time}] {text}"
STAMPED_PUBLISHED = "{label} : publié ({papi})"
STAMPED_FAILED = "{label} : non publié : {cause}"
STOPPED = "série arrêtée à la {label} ; non tentées : {names}"
STOPPED_MANY = "série arrêtée à la {label} ; {count} lignes non tentées : {names} et {more} autres"
SUMMARY = "bilan : {published}, {failed}, {untried}"
SUMMARY_WARNED = " (dont {warned} sans affichage réglé)"
CHECK_ACCEPTED = "connexion acceptée : {login} -> {url}"
CHECK_REFUSED = "connexion refusée : {login}"
CHECK_SUMMARY = "bilan : {accepted}, {refused}"
LIST_UNREADABLE = "trasko : fichier-liste illisible : {name} ({reason})"
LIST_NOT_UTF8 = "trasko : le fichier-liste n'est pas en UTF-8 ; il est lu comme Windows-1252 (« ANSI » du Bloc-notes)"
LIST_BAD_BYTES = "ni UTF-8 ni Windows-1252 : octet 0x{byte:02X} à la ligne {line}"
LIST_REREAD = "fichier-liste relu : {count}"
LIST_REREAD_FAILED = "fichier-liste modifié mais illisible ({reason}) ; suivi avec l'ancienne liste"
INTERRUPTED = "trasko : interrompu"
INTERNAL = "{frames}trasko : erreur interne ({name}) ; merci de la signaler avec les lignes ci-dessus"
USAGE = "trasko : {error} (trasko --help pour l'aide)"
ONLY_WITH = "{option} ne sert qu'avec {flag}"
CHECK_REFUSES = "--verifier ne se combine ni avec --suivre ni avec --continuer"
ERRAND_REFUSES = "{flag} ne se combine ni avec --verifier, ni avec --suivre, ni avec --continuer"
ERRANDS_APART = "--facture et --reglement ne se combinent pas : lancez-les l'un après l'autre"
REPORT_UNWRITABLE = "trasko : rapport impossible à écrire : {name} ({reason})"

# --- --suivre --------------------------------------------------------------------
WATCHING = "suivi de {files} Papi, toutes les {interval:g} s ; Ctrl-C pour arrêter"
WATCH_STOPPED = "suivi arrêté"
WATCH_NOT_ONLINE = "suivi arrêté ; pas en ligne dans sa version actuelle : {names}"
RETRY_AT = "{label} : nouvel essai vers {time}"

# --- the errands: --facture and --reglement --------------------------------------
INVOICE_SAVED = "facture enregistrée : {path}"
INVOICE_EXEMPT = "tournoi exempté de droits"
NO_INVOICE = "pas de facture : aucun fichier Papi en ligne ou tournoi archivé"
INVOICE_LABEL = "bouton de la facture inconnu « {label} »"
INVOICE_NOT_GIVEN = "pas de facture dans la réponse"
INVOICE_UNSAVED = "facture reçue mais non enregistrée : {path} ({reason})"
INVOICE_FOLDER_UNUSABLE = "trasko : dossier des factures inutilisable : {folder} ({reason})"
NOT_A_FOLDER = "c'est un fichier, pas un dossier"
INVOICE_SUMMARY = "bilan : {saved}, {exempt}, {failed}"
N_INVOICES = ("facture enregistrée", "factures enregistrées")
N_EXEMPTED = ("exempté", "exemptés")
N_NO_INVOICE = ("sans facture", "sans facture")
N_RULES_SENT = ("règlement envoyé", "règlements envoyés")
N_NOT_SENT = ("non envoyé", "non envoyés")
RULES_SENT = "règlement envoyé : {name} ({size} octets)"
RULES_CLOSED = "tournoi clos ou archivé : le site n'accepte plus de règlement pour lui"
RULES_REFUSED = "règlement refusé par le site : {verdict}"
RULES_NOT_CONFIRMED = "envoi du règlement non confirmé par le site"
RULES_INCOMPLETE = "règlement incomplet sur le site ({got} octets reçus sur {size})"
RULES_UNREADABLE = "fichier du règlement illisible : {reason}"
RULES_UNREADABLE_AT = "fichier du règlement illisible : {path} ({reason})"
RULES_NOT_PDF = "« {path} » n'est pas un fichier PDF : enregistrez le règlement au format PDF, puis recommencez"
RULES_SUMMARY = "bilan : {sent}, {failed}"
NOTHING_SENT = "trasko : {problem} ; rien n'a été envoyé"


# --- composing --------------------------------------------------------------------
def plural(count: int, nouns: tuple[str, str]) -> str:
    return f"{count} {nouns[1] if count > 1 else nouns[0]}"


def names(labels: list[str], shown: int = 5) -> tuple[str, int]:
    """The first `shown` labels joined, and how many more there are."""
    return ", ".join(labels[:shown]), max(0, len(labels) - shown)


def all_names(labels: list[str]) -> str:
    """The first few labels, then how many more."""
    joined, more = names(labels)
    return AND_MORE.format(names=joined, more=more) if more else joined
