"""Debian's Chromium, headless and offline, for pages the command writes:
the DOM after a page's own scripts ran, a printout as PDF and its pages."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
from pathlib import Path

# Every request, loopback's too, goes to a proxy that is not there: a page
# renders from what it holds, or not at all.
OFFLINE = ("--proxy-server=127.0.0.1:9", "--proxy-bypass-list=<-loopback>")
TIMEOUT = 120
# The sanitizer run preloads its runtime for velka; the browser (and the PDF
# reader) are not under test and hang with it, so they start without it.
NOT_FOR_THE_BROWSER = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def browser_env() -> dict[str, str]:
    return {name: value for name, value in os.environ.items() if name not in NOT_FOR_THE_BROWSER}


def chromium(profile: Path, *args: str) -> str:
    browser = shutil.which("chromium")
    assert browser, "chromium missing: scripts/test installs it"
    command = [
        browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--allow-file-access-from-files",
        f"--user-data-dir={profile}", *OFFLINE, *args,
    ]  # fmt: skip
    done = subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT, check=False, env=browser_env())
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout


def dom(page: Path, profile: Path, seconds: int = 5) -> str:
    """The page's DOM once loaded and `seconds` of its time passed (virtual: no wait)."""
    return chromium(profile, f"--virtual-time-budget={seconds * 1000}", "--dump-dom", page.as_uri())


def pdf_pages(page: Path, profile: Path) -> tuple[int, str]:
    """The page printed to PDF: its number of pages and their size as pdfinfo gives it."""
    pdf = profile / "printout.pdf"
    chromium(profile, "--no-pdf-header-footer", f"--print-to-pdf={pdf}", page.as_uri())
    info = subprocess.run(["pdfinfo", pdf], capture_output=True, text=True, check=True, env=browser_env()).stdout
    pages = re.search(r"^Pages:\s+(\d+)", info, re.M)
    size = re.search(r"^Page size:\s+(.*)$", info, re.M)
    assert pages and size, info
    return int(pages.group(1)), size.group(1)


# A phone's width for the frame; each load of the page (a reload too) counted.
PROBE = """<!DOCTYPE html><html><body><iframe id="page" src="{name}" style="width:360px;height:640px"></iframe>
<pre id="probe"></pre><script>
var loads = 0;
document.getElementById("page").onload = function () {{
  var d = this.contentDocument;
  loads += 1;
  document.getElementById("probe").textContent = JSON.stringify({{loads: loads, value: {expression}}});
}};
</script></body></html>"""


def probe(page: Path, profile: Path, expression: str, seconds: int = 5) -> tuple[int, object]:
    """How many times `page` loaded in `seconds` and what the JavaScript
    `expression` gives on it as the browser rendered it last (`d`: its
    document), through a frame beside it."""
    import html
    import json

    frame = page.with_name("probe-" + page.name)
    frame.write_text(PROBE.format(name=page.name, expression=expression), encoding="utf-8")
    found = re.search(r'<pre id="probe">(.+?)</pre>', dom(frame, profile, seconds), re.S)
    assert found, "the page did not load in the frame"
    result = json.loads(html.unescape(found.group(1)))
    return result["loads"], result["value"]
