"""The invoice as a file that stands alone: the page the site answers, with
its stylesheets and images carried inside (inline <style>, data: URIs), the
site's navigation left out, nothing pointing back to the site, laid out for
one A4 page. The resources are fetched through a callable given in, so that
the saving errand decides how (its session, its time bounds)."""

from __future__ import annotations

import base64
import mimetypes
import re
from collections.abc import Callable
from urllib.parse import urljoin, urlsplit

from bs4 import BeautifulSoup, Tag

# What a fetch gives: the resource's bytes and its content type ("" when
# unknown), or None when it could not be had.
Fetch = Callable[[str], "tuple[bytes, str] | None"]

LARGEST_RESOURCE = 2_000_000  # far above a logo or a stylesheet
IMPORT_DEPTH = 3
PRINT_STYLE = (
    "@page { size: A4; margin: 12mm; }\n@media print { html, body { margin: 0; } img { max-height: 30mm; } }\n"
)
LINK_ATTRIBUTES = ("href", "src", "action", "srcset", "background", "poster", "data")
_CSS_URL = re.compile(r"""url\(\s*(["']?)([^"')]*)\1\s*\)""")
_CSS_IMPORT = re.compile(r"""@import\s+(?:url\(\s*)?(["']?)([^"')\s;]+)\1\s*\)?[^;]*;""")


def standalone(page: str, page_url: str, fetch: Fetch) -> str:
    """The invoice `page`, answered at `page_url`, made self-contained."""
    soup = BeautifulSoup(page, "html.parser")
    base = soup.find("base", href=True)
    if isinstance(base, Tag):
        page_url = urljoin(page_url, str(base["href"]))
    for tag in soup.find_all("base"):
        tag.decompose()
    site = _origin(page_url)
    _inline_styles(soup, page_url, fetch)
    _inline_images(soup, page_url, fetch)
    _drop_navigation(soup, page_url, site)
    _cut_links_home(soup, page_url, site)
    _add_print_style(soup)
    return str(soup)


def _origin(url: str) -> tuple[str, str]:
    parts = urlsplit(url)
    return parts.scheme.lower(), parts.netloc.lower()


def _on_site(ref: str, page_url: str, site: tuple[str, str]) -> bool:
    """Whether `ref` leads to the site (or to this machine) rather than elsewhere."""
    if ref.strip().startswith("#"):
        return False  # a place in the page itself
    target = urljoin(page_url, ref.strip())
    scheme, netloc = _origin(target)
    if scheme not in ("http", "https", "file", "ftp"):
        return False  # data:, mailto:, javascript: are handled apart
    host = urlsplit(target).hostname or ""
    return netloc == site[1] or scheme == "file" or host in ("localhost", "::1") or host.startswith("127.")


def _fetched(url: str, fetch: Fetch, kind: str) -> tuple[bytes, str] | None:
    """The resource at `url` with its type, when it is of `kind` ("image/",
    "text/css"): a site's error page answered in its place is no logo."""
    if url.startswith("data:"):
        return None
    try:
        got = fetch(url)
    except OSError:
        return None
    if got is None or len(got[0]) > LARGEST_RESOURCE:
        return None
    body, declared = got
    named = declared.split(";")[0].strip().lower() or mimetypes.guess_type(urlsplit(url).path)[0] or ""
    return (body, named) if named.startswith(kind) else None


def _data_uri(url: str, fetch: Fetch) -> str | None:
    got = _fetched(url, fetch, "image/")
    return None if got is None else f"data:{got[1]};base64,{base64.b64encode(got[0]).decode('ascii')}"


def _css(text: str, css_url: str, fetch: Fetch, depth: int = 0) -> str:
    """A stylesheet with its imports and the images it names carried inside."""

    def imported(match: re.Match[str]) -> str:
        url = urljoin(css_url, match.group(2))
        got = _fetched(url, fetch, "text/css") if depth < IMPORT_DEPTH else None
        return "" if got is None else _css(got[0].decode("utf-8", "replace"), url, fetch, depth + 1)

    def inlined(match: re.Match[str]) -> str:
        ref = match.group(2).strip()
        if ref.startswith(("data:", "#")):
            return match.group(0)
        uri = _data_uri(urljoin(css_url, ref), fetch)
        return f'url("{uri}")' if uri else "none"

    return _CSS_URL.sub(inlined, _CSS_IMPORT.sub(imported, text))


def _inline_styles(soup: BeautifulSoup, page_url: str, fetch: Fetch) -> None:
    for style in soup.find_all("style"):
        style.string = _css(style.string or "", page_url, fetch)
    for link in soup.find_all("link"):
        rel = [str(word).lower() for word in (link.get("rel") or [])]
        href = urljoin(page_url, str(link.get("href", "")))
        got = _fetched(href, fetch, "text/css") if "stylesheet" in rel else None
        if got is None:
            link.decompose()  # an icon, a dead stylesheet: nothing the printout needs
            continue
        style = soup.new_tag("style")
        style.string = _css(got[0].decode("utf-8", "replace"), href, fetch)
        link.replace_with(style)
    for tag in soup.find_all(style=True):
        tag["style"] = _css(str(tag["style"]), page_url, fetch)
    for script in soup.find_all("script"):
        script.decompose()  # an invoice is read and printed, never run


def _inline_images(soup: BeautifulSoup, page_url: str, fetch: Fetch) -> None:
    for image in soup.find_all(["img", "input"], src=True):
        uri = _data_uri(urljoin(page_url, str(image["src"])), fetch)
        if uri is None:
            del image["src"]  # the alt text stands in for it
        else:
            image["src"] = uri
        if image.has_attr("srcset"):
            del image["srcset"]


def _drop_navigation(soup: BeautifulSoup, page_url: str, site: tuple[str, str]) -> None:
    """Links to the site's pages ("Retour au tournoi") lead nowhere from a
    file: they go, and so does what held only them."""
    for anchor in soup.find_all("a", href=True):
        if not _on_site(str(anchor["href"]), page_url, site):
            continue
        holder = anchor.parent
        anchor.decompose()
        while isinstance(holder, Tag) and holder.name not in ("body", "html") and not holder.get_text(strip=True):
            if holder.find(["img", "svg", "input"]):
                break
            parent = holder.parent
            holder.decompose()
            holder = parent


def _cut_links_home(soup: BeautifulSoup, page_url: str, site: tuple[str, str]) -> None:
    for tag in soup.find_all(True):
        for name in LINK_ATTRIBUTES:
            value = tag.get(name)
            if isinstance(value, str) and not value.startswith("data:") and _on_site(value, page_url, site):
                del tag[name]


def _add_print_style(soup: BeautifulSoup) -> None:
    style = soup.new_tag("style")
    style.string = PRINT_STYLE
    head = soup.find("head")
    if isinstance(head, Tag):
        head.append(style)
    elif isinstance(soup.html, Tag):
        soup.html.insert(0, style)
    else:
        soup.insert(0, style)
