"""The eight functions of velka written in plain Python, making the same
library calls in the same order: what an organiser would run without the
extension, and what the benchmarks measure velka against."""

import os
import pathlib
import sys

from bs4 import BeautifulSoup
from requests import Session


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
    except Exception:
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
    except Exception:
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
    if vars[VISIBILITY_ID].lower().startswith("d\u00e9sactiver"):
        visibilty_state = True
    if vars[VISIBILITY_ID].lower().startswith("activer"):
        visibilty_state = False
    if visibilty_state is None:
        print(f"erreur lecture visibilit\u00e9 {vars[VISIBILITY_ID]!r}:")
        raise ValueError(f"libell\u00e9 du bouton de visibilit\u00e9 inconnu: {vars[VISIBILITY_ID]!r}")
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
    file1 = open(tournoi_list_full_name)
    Lines = file1.readlines()
    count = 0
    for line in Lines:
        count += 1
        tfld = list(map(str.strip, line.replace(",", ";").split(";")))
        if tfld[0] == "" or tfld[1] == "":
            continue
        tournoi_fname = tfld[2]
        if not pathlib.Path(tournoi_fname).is_file():
            print(f"##### Tournoi introuvable {count}:{line} =>{tournoi_fname}")
            continue
        disp = tfld[4]
        dict_trn[disp] = tournoi_fname
    return dict_trn


def page_ffe(tournoi_list_full_name):
    try:
        file1 = open(tournoi_list_full_name)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException:
        print(" tournoi list introuvable :", tournoi_list_full_name)
        return None
    for line in file1.readlines():
        try:
            tfld = list(map(str.strip, line.replace(",", ";").split(";")))
            if tfld[0] == "" or tfld[1] == "":
                continue
            if not pathlib.Path(tfld[2]).is_file():
                print(f"--------------- Fichier papi introuvable: {tfld[2]}")
                continue
            f_visible = tfld[3] == "1"
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException:
            print("#### Format de ligne incorrecte:", line)
            continue
        print("trasko - envoi de:", tfld[2])
        try:
            envoi_tournoi(tfld[0], tfld[1], os.path.abspath(tfld[2]), f_visible)
        except Exception:
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
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException:
        cmd = ""
    if cmd != "":
        page_ffe(cmd)
    else:
        print("syntaxe: trasko fichier-tournoi")
    return None


if __name__ == "__main__":
    main_func()
