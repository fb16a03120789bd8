"""A fast loopback stand-in for the federation's site, run in its own process
so that the client's CPU and memory are measured alone: every page carries
the three state fields and a show/hide button labelled "Activer le tournoi"
(the tournament shows as hidden), so a tournament to be shown takes four
requests and one to be hidden three. Prints its URL, serves until its
standard input closes.

    python bench/dialogue_server.py
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from peer import Peer, page  # noqa: E402

PAGE = (
    '<html><body><form method="post">'
    '<input type="hidden" name="__VIEWSTATE" value="{}" />'
    '<input type="hidden" name="__VIEWSTATEGENERATOR" value="CA0B0334" />'
    '<input type="hidden" name="__EVENTVALIDATION" value="{}" />'
    '<a id="ctl00_ContentPlaceHolderMain_CmdAfficherTournoi" '
    'href="javascript:__doPostBack()">Activer le tournoi</a>'
    "</form></body></html>"
).format("/wEPDwUKLTU" * 40, "/wEdAAR" * 20)


class Forget(list):
    """Keeps no request: a 200 MB upload need not stay in memory."""

    def append(self, item):
        pass


def main():
    with Peer() as peer:
        peer._requests = Forget()
        peer.route(None, None, page(PAGE))
        print(peer.url, flush=True)
        sys.stdin.read()


if __name__ == "__main__":
    main()
