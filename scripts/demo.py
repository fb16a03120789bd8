"""The main job for a new user, on a local stand-in for the federation's
site: starts the site, writes a sample list file and its Papi files, runs
trasko on it against the site (--site), then shows what the site now holds.

    .venv/bin/python scripts/demo.py DEMO-DIRECTORY
"""

import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
import sitectl  # noqa: E402

# login, password, visible on the site at first, line of the list file
TOURNAMENTS = [
    ("open-noel-2026", "cavalier", False, "open-noel-2026 ; cavalier ; papi/Open de Noel.papi ; 1 ; open"),
    ("rapide-hiver", "fou", True, "rapide-hiver, fou, papi/rapide.papi, 0, rapide"),
    ("blitz-jeunes", "tour", True, "blitz-jeunes;tour;papi/blitz.papi;1;blitz"),
    ("ronde-suisse", "roi", False, "ronde-suisse;roi;papi/oublie.papi;1;suisse"),
]


def main():
    demo = Path(sys.argv[1]).resolve()
    shutil.rmtree(demo, ignore_errors=True)
    (demo / "papi").mkdir(parents=True)
    data = demo / "site"
    print("Starting the local site (ASP.NET Web Forms on Mono)...")
    url = sitectl.start(data)
    try:
        for login, password, visible, _ in TOURNAMENTS:
            sitectl.add_account(data, login, password, visible)
        # Pseudonymised real Papi files: the first two hold players' contacts.
        samples = ("rapide-87-joueurs-contacts", "fide-17-joueurs-contacts", "modele-vide-3.3.8")
        for name, sample in zip(("Open de Noel.papi", "rapide.papi", "blitz.papi"), samples, strict=True):
            shutil.copyfile(ROOT / "tests" / "papi" / f"{sample}.papi", demo / "papi" / name)
        listing = "\n".join(line for *_, line in TOURNAMENTS) + "\n"
        (demo / "tournois.txt").write_text(listing)
        print(f"Site: {url}\n\n{demo / 'tournois.txt'}:\n{listing}")
        print(f"$ trasko --site {url} tournois.txt")
        sys.stdout.flush()
        # trasko says 1 here: the list holds a tournament whose Papi file is missing.
        subprocess.run([sys.executable, "-m", "trasko", "--site", url, "tournois.txt"], cwd=demo)
        print("\nWhat the site holds now:")
        for login, _, was_visible, _ in TOURNAMENTS:
            state = sitectl.state(data, login)
            shown = {True: "shown", False: "hidden", None: "never logged in"}
            papi = f"{state['name']} ({len(state['papi'])} bytes)" if state["papi"] is not None else "no Papi file"
            print(f"  {login:16} {papi:32} {shown[state['visible']]:8} (was {shown[was_visible]})")
    finally:
        sitectl.stop(data)


if __name__ == "__main__":
    main()
