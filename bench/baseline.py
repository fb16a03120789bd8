# fmt: off
__test__ = {}  # the module binds it last, at this line
import sys, os  # noqa: E401, E402, I001
# The eight functions of velka in plain Python, laid out as the module's
# listing: line N here is line N of "velkax", the file its traceback entries
# name. More below, after read_url.
from requests import Session, Response  # noqa: E402, F401
from bs4 import BeautifulSoup  # noqa: E402
import pathlib  # noqa: E402


def read_url(session, url: str, data=None, files=None):
    fps = None
    content = None
    try:
        if data or files:
            if files:
                fps = {}
                for file_id, file_name in files.items():
                    fps[file_id] = open(file_name, "rb")
            response = session.post(url, data=data, files=fps)
            content = response.content.decode()
        else:
            response = session.get(url)
            content = response.content.decode()
    except Exception as e:
        print("erreur envoi:", str(e))
    if fps:
        for h in fps.values():
            h.close()
    return content

# The module is this listing made C++: each statement of a function stands in
# a trailing comment beside its C++, with its line (docs/architecture.md), and
# tests/test_traceback_lines.py holds the two to each other. The listing is also
# what an organiser would run without the extension, and what the benchmarks
# and the differential tests measure the module against, so it keeps the same
# library calls in the same order. The formatter is off: the blank lines keep
# each statement at its line. The module's line 2 (its last binding,
# `__test__`) and its import spellings are those of the module.


# What the module's bare excepts catch: everything but an interruption or an
# exit request, which go through. Python has no clause for "all but", so the
# clause's class is chosen as it is matched, when the exception being matched
# is the one being handled (read before any caller can rebind `sys`).
def all_but_exits(exception=sys.exception, exits=(KeyboardInterrupt, SystemExit)):
    return () if isinstance(exception(), exits) else BaseException




































ADMIN_FFE_URL = "http://admin.echecs.asso.fr"

VIEW_STATE = "__VIEWSTATE"
VIEW_GENERATOR = "__VIEWSTATEGENERATOR"
EVENT_VALIDATION = "__EVENTVALIDATION"

FLD_LOGIN = "ctl00$TextLogin"
FLD_PASSWD = "ctl00$TextPassword"
IMG_BUTTON = "ctl00$CmdLogin"

UPLOAD_EVENT = "ctl00$ContentPlaceHolderMain$CmdUploadPapi"
UPLOAD_FILE = "ctl00$ContentPlaceHolderMain$UploadPapi"

VISIBILITY_ID = "ctl00_ContentPlaceHolderMain_CmdAfficherTournoi"
VISIBILITY_EVENT = "ctl00$ContentPlaceHolderMain$CmdAfficherTournoi"





def get_ident_text(soup, vars, attr):
    try:
        elem = soup.find(id=attr).get_text()
        vars[attr] = elem
    except Exception as e:  # noqa: F841
        print(f"erreur lecture id {attr}:")
        raise
    return None

def get_attr_value(soup, vars, attr, attr_name="name"):
    try:
        if attr_name == "id":
            print("getting .....", attr)
            elem = soup.find(id=attr).get_text()
            print(elem)
        else:
            elem = soup.find(attrs={attr_name: attr}).get("value")
        vars[attr] = elem
    except Exception as e:  # noqa: F841
        print(f"erreur lecture {attr}:")
        raise
    return None

def envoi_tournoi(nohom, pwd, fname, f_visible):
    vars = {}
    url = ADMIN_FFE_URL
    session = Session()
    html = read_url(session, url)
    soup = BeautifulSoup(html, "html.parser")
    get_attr_value(soup, vars, VIEW_STATE)
    get_attr_value(soup, vars, VIEW_GENERATOR)
    get_attr_value(soup, vars, EVENT_VALIDATION)

    url = ADMIN_FFE_URL + "/Default.aspx"
    data_post = {
        VIEW_STATE: vars[VIEW_STATE],
        VIEW_GENERATOR: vars[VIEW_GENERATOR],
        EVENT_VALIDATION: vars[EVENT_VALIDATION],
        FLD_LOGIN: nohom,
        FLD_PASSWD: pwd,
        IMG_BUTTON + ".x": "3",
        IMG_BUTTON + ".y": "3",
    }
    html = read_url(session, url, data_post)
    soup = BeautifulSoup(html, "html.parser")
    get_attr_value(soup, vars, VIEW_STATE)
    get_attr_value(soup, vars, VIEW_GENERATOR)
    get_attr_value(soup, vars, EVENT_VALIDATION)

    url = ADMIN_FFE_URL + "/MonTournoi.aspx"
    data_post = {
        VIEW_STATE: vars[VIEW_STATE],
        VIEW_GENERATOR: vars[VIEW_GENERATOR],
        EVENT_VALIDATION: vars[EVENT_VALIDATION],
        "__EVENTTARGET": UPLOAD_EVENT,
        "__EVENTARGUMENT": "",
    }
    html = read_url(session, url, data_post, files={UPLOAD_FILE: fname})
    soup = BeautifulSoup(html, "html.parser")
    get_attr_value(soup, vars, VIEW_STATE)
    get_attr_value(soup, vars, VIEW_GENERATOR)
    get_attr_value(soup, vars, EVENT_VALIDATION)
    get_ident_text(soup, vars, VISIBILITY_ID)
    visibilty_state = None
    if vars[VISIBILITY_ID].lower().startswith("désactiver"):
        visibilty_state = True
    if vars[VISIBILITY_ID].lower().startswith("activer"):
        visibilty_state = False
    if visibilty_state is None:
        print(f"erreur lecture visibilité {vars[VISIBILITY_ID]!r}:")
        raise ValueError(f"libellé du bouton de visibilité inconnu: {vars[VISIBILITY_ID]!r}")
    if visibilty_state != f_visible:
        url = ADMIN_FFE_URL + "/MonTournoi.aspx"
        data_post = {
            VIEW_STATE: vars[VIEW_STATE],
            VIEW_GENERATOR: vars[VIEW_GENERATOR],
            EVENT_VALIDATION: vars[EVENT_VALIDATION],
            "__EVENTTARGET": VISIBILITY_EVENT,
            "__EVENTARGUMENT": "",
        }
        html = read_url(session, url, data_post)
        soup = BeautifulSoup(html, "html.parser")
        get_ident_text(soup, vars, VISIBILITY_ID)
    return None









def get_tournoi_list(tournoi_list_full_name):
    dict_trn = {}
    file1 = open(tournoi_list_full_name, "r")  # noqa: UP015
    Lines = file1.readlines()
    count = 0
    for line in Lines:
        count += 1
        tfld = list(map(str.strip, line.replace(",", ";").split(";")))
        if tfld[0] == "" or tfld[1] == "":
            continue
        tournoi_fname = tfld[2]
        if not pathlib.Path(tournoi_fname).is_file():
            print("##### Tournoi introuvable {}:{} =>{}".format(count, line, tournoi_fname))  # noqa: UP032
            continue
        disp = tfld[4]
        dict_trn[disp] = tournoi_fname
    return dict_trn












def page_ffe(tournoi_list_full_name):
    try:
        file1 = open(tournoi_list_full_name, "r")  # noqa: UP015
    except all_but_exits():
        print(" tournoi list introuvable :", tournoi_list_full_name)
        return None
    for line in file1.readlines():
        try:
            tfld = list(map(str.strip, line.replace(",", ";").split(";")))
            if tfld[0] == "" or tfld[1] == "":
                continue
            if not pathlib.Path(tfld[2]).is_file():
                print("--------------- Fichier papi introuvable: {}".format(tfld[2]))  # noqa: UP032
                continue
            f_visible = tfld[3] == "1"
        except all_but_exits():
            print("#### Format de ligne incorrecte:", line)
            continue
        print("trasko - envoi de:", tfld[2])
        try:
            envoi_tournoi(tfld[0], tfld[1], os.path.abspath(tfld[2]), f_visible)
        except Exception as e:  # noqa: F841
            return None
    return None






def get_page_test():
    url = "https://qr.trasko.fr/qr/qrupload"
    session = Session()
    html = read_url(session, url)
    print(html)
    soup = BeautifulSoup(html, "html.parser")
    print("---------------------")
    lines = soup.find_all(id="result")
    for result in lines:
        print(result.get_text())
    return None



def main_func():
    try:
        cmd = sys.argv[1]
    except all_but_exits():
        cmd = ""
    if cmd != "":
        page_ffe(cmd)
    else:
        print("syntaxe: trasko fichier-tournoi")
    return None




if __name__ == "__main__":
    main_func()
