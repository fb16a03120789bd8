"""Makes the bundle's guide.html from the organiser's guide in Markdown:
one page, its style inside, readable offline in any browser.
    python guide.py GUIDE.md GUIDE.html   (with the markdown package on the path)"""

import sys
from pathlib import Path

import markdown  # type: ignore[import-untyped,import-not-found,unused-ignore]

PAGE = """<!DOCTYPE html>
<html lang="fr">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{title}</title>
<style>
body {{ font-family: Segoe UI, Arial, sans-serif; max-width: 50em; margin: 1em auto; padding: 0 1em; }}
body {{ line-height: 1.45; }}
pre {{ background: #f3f3f3; padding: .6em; overflow-x: auto; }}
code {{ font-family: Consolas, monospace; }}
table {{ border-collapse: collapse; }}
th, td {{ border: 1px solid #bbb; padding: .2em .5em; text-align: left; vertical-align: top; }}
</style>
</head>
<body>
{body}
</body>
</html>
"""


def main(source: str, target: str) -> None:
    text = Path(source).read_text(encoding="utf-8")
    title = text.splitlines()[0].lstrip("# ").strip()
    body = markdown.markdown(text, extensions=["tables"], output_format="html")
    Path(target).write_text(PAGE.format(title=title, body=body), encoding="utf-8")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
