"""The organiser's view, as the Windows programs run the command: one French
line per tournament on the console, the module's lines and the details in
the journal beside the list, which keeps every run and rotates when large."""

from __future__ import annotations

import io
import re

import pytest
from support import ENVOI_DE, papi_bytes
from test_command import PASSWORD, account, trasko, write_list

from trasko import journal, messages
from trasko.report import Environment

import sitectl


def organiser_run(tmp_path, *args):
    err = io.StringIO()
    env = Environment(given_stdout=io.StringIO(), given_stderr=err, keeps_board=True)
    result = trasko(tmp_path, *args, env=env)
    return result, (tmp_path / journal.FILE_NAME).read_text(encoding="utf-8")


@pytest.mark.parametrize(
    "mode, first",
    [
        ((), "ligne 1 (vue-1) : publié, affiché : http"),
        (("--repetition",), "ligne 1 (vue-1) : prêt à publier, rien n'a été envoyé (répétition) : http"),
        (("--verifier",), "ligne 1 (vue-1) : identifiant et mot de passe acceptés : http"),
    ],
)
def test_one_line_per_tournament_and_the_rest_in_the_journal(aspnet_site, tmp_path, mode, first):
    (tmp_path / "a.papi").write_bytes(papi_bytes())
    good = account(aspnet_site, "vue-1")
    wrong = account(aspnet_site, "vue-2", password="autre")
    listing_file = write_list(tmp_path, f"{good};{PASSWORD};a.papi;1", f"{wrong};{PASSWORD};a.papi;0")
    result, kept = organiser_run(tmp_path, *mode, "--site", aspnet_site[0], listing_file)
    console = result.stderr.splitlines()
    assert console[0].startswith(first)
    assert console[1] == ("ligne 2 (vue-2) : identifiant ou mot de passe refusés par le site : corrigez la ligne 2")
    assert len(console) == 3 and console[2].startswith("bilan")
    assert result.stdout == "" and ENVOI_DE not in result.stderr
    assert (ENVOI_DE in kept) == (not mode)
    assert "résultat non_publie" in kept or "résultat connexion_acceptee" in kept
    assert re.search(r"page publique http\S+ ; réponses du site \(HTTP\) 200( 200)+\r?\n", kept)
    assert all(line in kept for line in console) and PASSWORD not in kept and "autre" not in kept


@pytest.mark.parametrize(
    "mode, said",
    [
        ((), "ligne 1 (vue-clos) : tournoi clos ou archivé : "),
        (("--verifier",), "ligne 1 (vue-clos) : identifiant et mot de passe acceptés : http"),
    ],
)
def test_a_closed_tournament_says_there_is_nothing_to_do_but_ask(aspnet_site, tmp_path, mode, said):
    (tmp_path / "a.papi").write_bytes(papi_bytes())
    sitectl.set_tournament(aspnet_site[1], account(aspnet_site, "vue-clos"), stage="closed")
    listing_file = write_list(tmp_path, f"vue-clos;{PASSWORD};a.papi;1")
    console = organiser_run(tmp_path, *mode, "--site", aspnet_site[0], listing_file)[0].stderr.splitlines()
    assert console[0].startswith(said) and console[0].endswith(messages.VIEW_CLOSED.split(" ; ")[-1])


def test_the_journal_keeps_each_run_and_moves_old_entries_to_one_file(aspnet_site, tmp_path, monkeypatch):
    monkeypatch.setattr(journal, "LARGEST", 300)
    listing_file = write_list(tmp_path, f"{account(aspnet_site, 'vue-3')};{PASSWORD};absent.papi;1")
    for _ in range(3):
        organiser_run(tmp_path, "--site", aspnet_site[0], listing_file)
    current = (tmp_path / journal.FILE_NAME).read_text(encoding="utf-8")
    older = (tmp_path / (journal.FILE_NAME + ".1")).read_text(encoding="utf-8")
    assert current.count("=== ") == 2 and ": publication : " in current and "fin, code de sortie 1" in current
    assert older.count("=== ") == 2 and not (tmp_path / (journal.FILE_NAME + ".2")).exists()


def test_the_plain_command_keeps_no_journal(aspnet_site, tmp_path):
    listing_file = write_list(tmp_path, f"{account(aspnet_site, 'vue-4')};{PASSWORD};absent.papi;1")
    assert trasko(tmp_path, "--site", aspnet_site[0], listing_file).returncode == 1
    assert not (tmp_path / journal.FILE_NAME).exists()
