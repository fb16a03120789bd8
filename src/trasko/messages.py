"""Every text the command writes, in one place.

Two families:
- the module's batch lines (standard output), word for word as the module's
  own batch prints them, so that the command's standard output stays the
  module's;
- the command's own French texts (standard error and the JSON report): the
  cause of each outcome, the per-line reports, the summaries.

A cause never quotes what a list line holds beyond its login and its Papi
path, so no text here can carry a password. The counted nouns of every
mode's summary stand in one table. A new errand adds its texts here, beside
these, and composes them with the helpers at the end.
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
LOGIN_REFUSED_SAID = "connexion refusée ; le site dit : « {said} »"
SITE_ERROR = "erreur du site (HTTP {status})"
UNEXPECTED_PAGE = "page inattendue du site"
UNEXPECTED_PAGE_AT = "page inattendue du site ({where})"
INCOMPLETE_FORM = "formulaire incomplet"
LOGGED_OUT = "retour à la page de connexion"
CLOSED = "tournoi clos ou archivé : le site n'accepte plus de fichier Papi pour lui"
FILE_REFUSED = "fichier refusé par le site : {verdict}"
NOT_CONFIRMED = "envoi du fichier non confirmé par le site"
UPLOAD_INCOMPLETE = "envoi incomplet : le site a reçu {got} octets sur {size}"
UNREACHABLE = "site injoignable : {cause}"
SILENT = "site muet après {seconds:g} s"
TOO_LONG = "réponse du site trop longue"
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

# What a Papi file is refused for, before anything reaches the site.
NOT_PAPI_FILE = "ce fichier n'est pas un fichier Papi"
PAPI_INCOMPLETE = (
    "fichier Papi incomplet (tronqué, ou en cours d'enregistrement par Papi) : rien n'a été envoyé ; "
    "enregistrez le tournoi dans Papi, puis recommencez"
)
PAPI_DAMAGED = (
    "fichier Papi endommagé ou d'une forme inconnue : rien n'a été envoyé ; ouvrez-le dans Papi et "
    "enregistrez-le, puis recommencez (ou envoyez-le avec --tel-quel, contacts des joueurs compris)"
)
PAPI_TOO_LARGE = "fichier Papi trop gros (plus de 64 Mo) pour être un tournoi : rien n'a été envoyé"
PAPI_UNCLEAN = (
    "les contacts des joueurs n'ont pas pu être retirés avec certitude de la copie à envoyer : rien n'a été "
    "envoyé ; signalez-le, ou envoyez le fichier avec --tel-quel (contacts des joueurs compris)"
)
PAPI_CHANGING = "fichier Papi modifié pendant sa lecture (Papi l'enregistrait) : rien n'a été envoyé ; recommencez"
PAPI_OTHER_TOURNAMENT = (
    "ce fichier Papi est celui du tournoi {number} ({name}), pas du tournoi {login} : vérifiez la ligne"
)

# --- the lines of a list -------------------------------------------------------
# Counted nouns of the summaries, every mode's in one table: (one, many).
N_PUBLISHED = ("publié", "publiés")
N_NOT_PUBLISHED = ("non publié", "non publiés")
N_UNTRIED = ("non tenté", "non tentés")
N_ACCEPTED = ("connexion acceptée", "connexions acceptées")
N_REFUSED = ("non acceptée", "non acceptées")
N_FILES = ("fichier", "fichiers")
N_WATCHED = ("fichier Papi suivi", "fichiers Papi suivis")
N_PLAYERS = ("joueur", "joueurs")
N_PHONES = ("téléphone", "téléphones")
N_EMAILS = ("e-mail", "e-mails")
N_READY = ("ligne prête", "lignes prêtes")
N_NOT_READY = ("ligne à corriger", "lignes à corriger")
N_LOGINS_REFUSED = ("connexion refusée", "connexions refusées")
N_INVOICES = ("facture enregistrée", "factures enregistrées")
N_EXEMPTED = ("exempté", "exemptés")
N_NO_INVOICE = ("sans facture", "sans facture")
N_RULES_SENT = ("règlement envoyé", "règlements envoyés")
N_NOT_SENT = ("non envoyé", "non envoyés")
N_LINES = ("tournoi", "tournois")

AND_MORE = "{names} et {more} autres"
MALFORMED = "ligne incorrecte"
MALFORMED_BLANKS = "ligne incorrecte : séparez les champs par « ; » (pas par des blancs ni des tabulations)"
PAPI_MISSING = "fichier Papi introuvable"
PAPI_EMPTY = "fichier Papi non indiqué (champ 3 vide)"
PAPI_FOLDER = "le fichier Papi indiqué est un dossier : indiquez le fichier .papi qu'il contient"
PAPI_DENIED = "fichier Papi inaccessible : droits insuffisants sur lui ou sur son dossier"
PAPI_NEAR = "{name} introuvable dans {folder} : vouliez-vous dire {near} ?"
PAPI_TOO_EARLY = (
    "le fichier Papi est au champ 2 : il manque l'identifiant ou le mot de passe "
    "(identifiant ; mot de passe ; fichier Papi ; 1 ou 0)"
)
VISIBILITY_BAD = "visibilité « {value} » : écrivez 1 (affiché) ou 0 (masqué) ; rien n'a été envoyé pour cette ligne"
SPLIT_PASSWORD = "le mot de passe contient peut-être « , » ou « ; »"
EMPTY_PASSWORD = "mot de passe vide"
EMPTY_LOGIN = "identifiant vide"

# --- what the command adds on standard error -----------------------------------
LINE_LABEL = "ligne {number} ({login})"
LINE_LABEL_BARE = "ligne {number}"
LINE_CAUSE = "{label} : {cause}"
STAMPED = "[{time}] {text}"
STAMPED_PUBLISHED = "{label} : publié ({papi}){tournament}"
LINE_PUBLISHED = "{label} : publié{tournament}"
LINE_PAPI = "{label} : fichier Papi{tournament}"
WARNED_ONLINE = "{cause} ; en ligne{tournament}"
# What went online, after "publié" (nothing when the file could not be read).
TOURNAMENT = " : {name}{round} ({players} ; {contacts}){unchecked}"
TOURNAMENT_ROUND = ", ronde {active} sur {rounds}"
UNNAMED = "tournoi sans nom"
CONTACTS_REMOVED = "{phones} et {emails} retirés"
CONTACTS_TO_REMOVE = "{phones} et {emails} à retirer"
CONTACTS_KEPT = "contacts des joueurs envoyés tels quels : --tel-quel"
NO_CONTACT = "aucun contact de joueur"
UNCHECKED = " ; numéro d'homologation absent du fichier : impossible de vérifier qu'il est celui du tournoi"
AS_IS_WARNING = (
    "trasko : --tel-quel : les fichiers Papi partent tels quels, avec les téléphones et e-mails des joueurs, "
    "que la FFE publie en téléchargement libre"
)
STAMPED_FAILED = "{label} : non publié : {cause}"
STOPPED = "série arrêtée à la {label} ; non tentées : {names}"
STOPPED_MANY = "série arrêtée à la {label} ; {count} lignes non tentées : {names} et {more} autres"
SUMMARY = "bilan : {published}, {failed}, {untried}"
SUMMARY_WARNED = " (dont {warned} sans affichage réglé)"
CHECK_ACCEPTED = "connexion acceptée : {login} -> {url}"
CHECK_ACCEPTED_NO_LINK = "connexion acceptée : {login} (le site ne donne pas la page publique)"
ACCEPTED_CLOSED = "{text} ; {cause}"
CHECK_REFUSED = "connexion refusée : {login}"
CHECK_SUMMARY = "bilan : {accepted}, {refused}"
LIST_UNREADABLE = "trasko : fichier-liste illisible : {name} ({reason})"
LIST_NOT_UTF8 = "trasko : le fichier-liste n'est pas en UTF-8 ; il est lu comme Windows-1252 (« ANSI » du Bloc-notes)"
LIST_NOT_TEXT = (
    "ce n'est pas un fichier-liste en texte (ni UTF-8 ni Windows-1252 : octet 0x{byte:02X} à la ligne {line}) ; "
    "indiquez la liste de vos tournois enregistrée avec le Bloc-notes"
)
LIST_IS_PDF = "c'est un document PDF, pas un fichier-liste : indiquez la liste de vos tournois (un fichier texte)"
LIST_IS_PAPI = (
    "c'est un fichier Papi, pas un fichier-liste : indiquez la liste de vos tournois qui le nomme "
    "(trasko --preparer en écrit une)"
)
LIST_REREAD = "fichier-liste relu : {count}"
LIST_REREAD_FAILED = "fichier-liste modifié mais illisible ({reason}) ; suivi avec l'ancienne liste"
INTERRUPTED = "trasko : interrompu"
INTERRUPTED_CAUSE = "interrompu"
OUTPUT_REFUSED = (
    "trasko : la sortie standard n'a pas pu être écrite (disque plein ?) ; "
    "le travail est fait : voyez les lignes ci-dessus et le rapport"
)
INTERNAL = "{frames}trasko : erreur interne ({name}) ; merci de la signaler avec les lignes ci-dessus"
USAGE = "trasko : {error} (trasko --help pour l'aide)"
ONLY_WITH = "{option} ne sert qu'avec {flag}"
# The organiser's view: one line per tournament on the console of the Windows programs.
VIEW_PUBLISHED = "{label} : publié, {shown}"
VIEW_SHOWN = "affiché"
VIEW_HIDDEN = "masqué"
VIEW_LINK = " : {url}"
VIEW_ACCEPTED = "{label} : identifiant et mot de passe acceptés"
VIEW_READY = "{label} : prêt à publier, rien n'a été envoyé (répétition)"
VIEW_LOGIN_REFUSED = "{label} : identifiant ou mot de passe refusés par le site : corrigez la ligne {number}"
VIEW_CLOSED = CLOSED + " ; rien à faire ici, ou demandez sa réouverture à la FFE"
JOURNAL_STARTED = "\n=== {time} : {mode} : {list_file}"
JOURNAL_MODE_PUBLISH = "publication"
JOURNAL_DETAILS = (
    "    résultat {state} ; octets envoyés {sent} ; page publique {url} ; réponses du site (HTTP) {statuses}"
)
JOURNAL_ENDED = "=== {time} : fin, code de sortie {status}"
REHEARSED = VIEW_READY + "{tournament}"
REHEARSED_LINK = " ; page publique : {url}"
REHEARSAL_SUMMARY = "bilan de la répétition : {ready}, {failed} ; rien n'a été envoyé"
REHEARSAL_ALONE = "--repetition ne se combine avec aucune autre option que --site, --delai et --rapport"
CHECK_REFUSES = "--verifier ne se combine ni avec --suivre ni avec --continuer"
ERRAND_REFUSES = "{flag} ne se combine ni avec --verifier, ni avec --suivre, ni avec --continuer"
ERRANDS_APART = "--facture et --reglement ne se combinent pas : lancez-les l'un après l'autre"
REPORT_OVER_INPUT = "--rapport {name} écrirait sur {what} : choisissez un autre nom de rapport"
REPORT_OVER_LIST = "le fichier-liste"
REPORT_OVER_RULES = "le règlement"
REPORT_OVER_PAPI = "un fichier Papi de la liste"
REPORT_UNWRITABLE = "trasko : rapport impossible à écrire : {name} ({reason})"

# --- --suivre --------------------------------------------------------------------
WATCHING = "suivi de {files} Papi, toutes les {interval:g} s ; Ctrl-C pour arrêter"
WATCH_STOPPED = "suivi arrêté"
WATCH_RUNNING = (
    "trasko : un autre suivi de {name} est déjà en cours ({first}) ; "
    "arrêtez-le (Ctrl-C dans sa fenêtre) avant d'en lancer un autre"
)
WATCH_LOCK = "processus {pid}, commencé le {since}"
WATCH_NOT_ONLINE = "suivi arrêté ; pas en ligne dans sa version actuelle : {names}"
NO_RETRY = (
    "{label} : pas de nouvel essai, il serait refusé de même ; "
    "le suivi la reprend dès que sa ligne de la liste ou son fichier Papi change"
)
RETRY_AT = "{label} : nouvel essai vers {time}"

# --- the errands: --facture and --reglement --------------------------------------
INVOICE_SAVED = "facture enregistrée : {path}"
INVOICE_EXEMPT = "tournoi exempté de droits"
NO_INVOICE = "pas de facture : aucun fichier Papi en ligne ou tournoi archivé"
INVOICE_LABEL = "bouton de la facture inconnu « {label} »"
INVOICE_NOT_GIVEN = "pas de facture dans la réponse"
INVOICE_ERROR_PAGE = "pas de facture : page d'erreur du site"
INVOICE_UNSAVED = "facture reçue mais non enregistrée : {path} ({reason})"
INVOICE_FOLDER_UNUSABLE = "trasko : dossier des factures inutilisable : {folder} ({reason})"
NOT_A_FOLDER = "c'est un fichier, pas un dossier"
INVOICE_SUMMARY = "bilan : {saved}, {exempt}, {failed}"
INVOICE_REFUSED = ", {refused}"
RULES_SENT = "règlement envoyé : {name} ({size} octets)"
RULES_NOT_OFFERED = "le site ne propose pas l'envoi du règlement pour ce tournoi"
RULES_CLOSED = "tournoi clos ou archivé : le site n'accepte plus de règlement pour lui"
RULES_REFUSED = "règlement refusé par le site : {verdict}"
RULES_NOT_CONFIRMED = "envoi du règlement non confirmé par le site"
RULES_INCOMPLETE = "règlement incomplet sur le site ({got} octets reçus sur {size})"
RULES_UNREADABLE = "fichier du règlement illisible : {reason}"
RULES_UNREADABLE_AT = "fichier du règlement illisible : {path} ({reason})"
RULES_NOT_PDF = "« {path} » n'est pas un fichier PDF : enregistrez le règlement au format PDF, puis recommencez"
RULES_SWAPPED = (
    "le règlement et la liste sont inversés : « {pdf} » est le PDF, « {path} » ne l'est pas ; "
    "donnez le PDF juste après --reglement, puis le fichier-liste"
)
RULES_SUMMARY = "bilan : {sent}, {failed}"
NOTHING_SENT = "trasko : {problem} ; rien n'a été envoyé"


# --- --preparer --------------------------------------------------------------------
PREPARE_HEADER = (
    "# liste préparée par trasko --preparer : remplacez chaque MOT-DE-PASSE par le mot de passe du tournoi, "
    "puis vérifiez-la avec trasko --verifier"
)
PREPARE_NO_NUMBER = (
    "# numéro d'homologation absent du fichier ci-dessous : remplacez NUMERO par celui du tournoi, "
    "puis retirez le « # » du début de sa ligne"
)
PREPARE_NO_NUMBER_SAID = "trasko : {name} ne dit pas son numéro d'homologation : sa ligne est à compléter (NUMERO)"
PREPARE_SKIPPED = "trasko : {name} laissé de côté : {cause}"
PREPARE_SEPARATOR = "son chemin contient « , » ou « ; », qui séparent les champs d'une liste : renommez-le"
PREPARE_FOLDER_UNUSABLE = "trasko : dossier illisible : {folder} ({reason})"
PREPARE_NOTHING = "trasko : aucun fichier Papi utilisable dans {folder} : aucune liste écrite"
PREPARE_UNWRITABLE = "trasko : liste impossible à écrire : {path} ({reason})"
PREPARE_NO_FREE_NAME = "trop de listes déjà préparées dans ce dossier"
PREPARE_DONE = (
    "trasko : liste écrite : {path} ({lines}). Ouvrez-la, remplacez chaque MOT-DE-PASSE par le mot de passe "
    'du tournoi, enregistrez-la, puis lancez : trasko --verifier "{path}"'
)
PREPARE_ALONE = "--preparer ne se combine avec aucune autre option"
PREPARE_NO_LIST = "--preparer prend un dossier, pas de fichier-liste"


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


# --- the Windows programs: what a launcher given nothing says ---
LAUNCH_DROP_HINT = {
    "publier": "publier.exe publie chaque tournoi d'une liste",
    "verifier": "verifier.exe vérifie les identifiants et mots de passe d'une liste, sans rien envoyer",
    "suivre": "suivre.exe publie une liste, puis republie chaque tournoi dont le fichier Papi change",
    "facture": "facture.exe enregistre la facture de chaque tournoi d'une liste, à côté de la liste",
    "reglement": "reglement.exe envoie un règlement intérieur (PDF) à chaque tournoi d'une liste",
    "preparer": "preparer.exe écrit une liste des fichiers Papi d'un dossier, à compléter des mots de passe",
}
LAUNCH_NOTHING_DROPPED = (
    "{hint}.\n"
    "Rien ne lui a été donné : dans l'Explorateur, faites glisser {what} sur {name}.exe{rules}, "
    "ou choisissez dans le menu ci-dessous.\n"
)
LAUNCH_RULES_NEED_BOTH = (
    "reglement.exe a besoin de deux fichiers : le PDF du règlement et votre fichier-liste.\n"
    "Dans l'Explorateur, sélectionnez les deux ensemble (Ctrl + clic), puis faites-les glisser sur reglement.exe.\n"
)
LAUNCH_A_LIST = "votre fichier-liste (par exemple tournois.txt)"
LAUNCH_A_FOLDER = "le dossier de vos fichiers Papi"
LAUNCH_RULES_TOO = ", avec le PDF du règlement (sélectionnez les deux fichiers ensemble)"

# --- the menu ---
# The modes the menu knows by name, with their key; a mode added to the command shows with its option.
MENU_LABELS = {
    None: ("p", "publier la liste sur le site de la FFE"),
    "--repetition": ("e", "répétition : tout vérifier, fichiers Papi compris, sans rien envoyer"),
    "--preparer": ("l", "préparer une liste à partir d'un dossier de fichiers Papi"),
    "--verifier": ("v", "vérifier les identifiants et mots de passe (rien n'est envoyé)"),
    "--suivre": ("s", "suivre : publier, puis republier chaque fichier Papi qui change"),
    "--facture": ("f", "enregistrer la facture de chaque tournoi"),
    "--reglement": ("r", "envoyer le règlement intérieur (un PDF) à chaque tournoi"),
}
MENU_TITLE = "\nvelka : que voulez-vous faire ?"
MENU_ITEM = "  {key} : {label}"
MENU_BOARD_ITEM = "ouvrir le tableau de bord de la dernière liste (etat-velka.html)"
MENU_QUIT_ITEM = "quitter"
MENU_CHOICE = "Tapez la lettre de votre choix : "
MENU_UNKNOWN_CHOICE = "« {answer} » n'est pas dans le menu : tapez une des lettres ci-dessus."
MENU_LISTS_OF = "Les listes du dossier {folder} :"
MENU_LIST_ITEM = "  {number} : {name}"
MENU_WHICH_LIST = (
    "Numéro de la liste, ou son chemin (collez-le, ou glissez le fichier dans cette fenêtre) ;"
    " Entrée seule pour revenir au menu : "
)
MENU_NO_SUCH_LIST = "{path} introuvable : vérifiez le chemin, ou glissez le fichier dans cette fenêtre."
MENU_WHICH_FOLDER = (
    "Dossier des fichiers Papi (collez son chemin, ou glissez-le dans cette fenêtre) ;"
    " Entrée seule pour revenir au menu : "
)
MENU_WHICH_PDF = "Chemin du PDF du règlement (glissez-le dans cette fenêtre) : "
MENU_FOR_REAL = "{label} : ceci envoie pour de vrai {target}. Continuer ? (o/n) "
MENU_THE_SITE = "au site de la FFE"
MENU_A_COPY = "à la copie du site {url}"
MENU_NOT_SENT = "Rien n'a été envoyé."
MENU_NO_BOARD = "Pas encore de tableau de bord : publiez ou suivez d'abord une liste."
MENU_DONE = "Terminé ({outcome}). Le menu revient."
MENU_OUTCOMES = {
    0: "tout s'est bien passé",
    1: "voir les lignes signalées ci-dessus",
    2: "la commande n'a pas pu commencer",
}

# --- the status board ---
BOARD_BADGE_TEXT = {  # by the board's badge classes
    "en-ligne": "en ligne",
    "en-attente": "en attente",
    "nouvel-essai": "nouvel essai à {retry_at}",
    "echec": "échec : {cause}",
    "clos": "clos",
}
BOARD_TITLE = "velka : état des tournois de {listing}"
BOARD_WATCHING = "Suivi en cours : cette page se met à jour toute seule."
BOARD_FINISHED = "Dernière exécution de velka sur cette liste."
BOARD_UPDATED = "Mis à jour à {time}."
BOARD_LINE = "ligne {number}"
BOARD_ROUND = "ronde en ligne : {round}"
BOARD_ROUND_OF = "{active} sur {rounds}"
BOARD_PUBLISHED = "publié à {time}"
BOARD_NOT_PUBLISHED = "pas encore publié"
BOARD_LINK = "page publique"
