"""The C++ sources against the statements they mirror: every traceback line a
function can report (each `tb.fail(N)`, and each line handed to a helper that
fails at it) is a line one of that function's mirror comments names, and
every line a function names lies between its `def` line and the next one.

A function's code is found by its traceback entry (`Trace tb{name_spec}`,
made from the function's record, in the function or its file) or, without
one, by its def comment. The record (`FunctionSpec name_spec{"velka.name",
LINE, ...}`) and the def comment (`// LINE  def name(`) both give the def
line: they must agree with each other and with the signature table.

A mirror comment opens with a line or a range, two blanks, and the statement
(`// 27  print(...)`, `// 134-136  ...`); a comment may name more than one
(`// 228  try:  229  file1 = ...`). A helper that takes the line as a
parameter (`int line`) fails at `line`, `line + k`, or passes `line + k` on
to another helper: at each call with a literal base line, the check names
base + k for every offset k it can read that way; a line counted on in a
local variable is checked at its base only.

The lines are those of the listing, the plain-Python twin bench/baseline.py,
laid out so that its line N is the module's line N. Each mirror comment's
statement is the listing's at the lines it names (token by token, so blanks
do not count; `...` stands for any run of tokens); every statement of the
listing that can fail is named by a mirror comment of its function; and the
module's own statements and constants stand at their lines there."""

from __future__ import annotations

import ast
import re
from collections import defaultdict
from dataclasses import dataclass, field
from pathlib import Path

import pytest
from support import FUNCTIONS, MAIN_GUARD_LINE

SRC = Path(__file__).resolve().parent.parent / "src"

MIRROR = re.compile(r"^(\d+)(?:-(\d+))?(?:\s\s+\S|$)")
MORE_MIRRORS = re.compile(r"\s\s(\d+)(?:-(\d+))?\s\s+\S")
TRACE = re.compile(r"\bTrace\s+tb\s*\{\s*(\w+)_spec\s*\}")
RECORD = re.compile(r'\bFunctionSpec\s+(\w+)_spec\s*\{\s*"velka\.(\w+)"\s*,\s*(\d+)\s*,')
FAIL = re.compile(r"\btb\.fail\(")
DEF = re.compile(r"^(\d+)\s+def\s+(\w+)\(")
SIGNATURE = re.compile(r"(\w+)\s*\(([^()]*)\)\s*(?:const\s*)?(?:noexcept\s*)?$")


@dataclass
class Body:
    """One top-level C++ function."""

    file: str
    name: str
    params: list[str]  # the parameters' names
    line_params: list[str]  # those declared int
    start: int  # first source line of the body
    code: str  # comments and strings blanked, offsets kept
    trace: str | None  # the module function whose entry `tb` is, if known here
    # (first line named, last line named, source line, comment text, the statement it names)
    mirrors: list[tuple[int, int, int, str, str]] = field(default_factory=list)


def blank(text: str) -> tuple[str, list[tuple[int, str]]]:
    """The code with comments and string contents turned to blanks (lines
    kept), and each `//` comment's text with its source line."""
    out, comments, i, n = [], [], 0, len(text)
    while i < n:
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            comments.append((text.count("\n", 0, i) + 1, text[i + 2 : end].strip()))
            out.append(" " * (end - i))
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2) + 2
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            i = end
        elif text[i] in "\"'":
            quote, j = text[i], i + 1
            while text[j] != quote:
                j += 2 if text[j] == "\\" else 1
            out.append(quote + re.sub(r"[^\n]", " ", text[i + 1 : j]) + quote)
            i = j + 1
        else:
            out.append(text[i])
            i += 1
    # Preprocessor lines are no part of any declaration.
    code = re.sub(r"(?m)^[ \t]*#.*$", lambda m: " " * len(m.group()), "".join(out))
    return code, comments


def closing(code: str, at: int, opening: str, close: str) -> int:
    """The offset of the bracket closing the one at `at`."""
    depth = 0
    for i in range(at, len(code)):
        depth += {opening: 1, close: -1}.get(code[i], 0)
        if depth == 0:
            return i
    raise ValueError("unbalanced")


def parameter_names(declaration: str) -> tuple[list[str], list[str]]:
    names, ints = [], []
    for parameter in filter(None, (p.strip() for p in declaration.split(","))):
        name = re.findall(r"\w+", parameter.split("=")[0])[-1]
        names.append(name)
        if re.match(r"int\s+\w+$", parameter):
            ints.append(name)
    return names, ints


def bodies(path: Path, root: Path = SRC) -> list[Body]:
    """The file's top-level functions, each with its entry and mirror comments."""
    raw = path.read_text()
    code, comments = blank(raw)
    file_trace, found, i, last_end = None, [], 0, 0
    while (i := code.find("{", i)) >= 0:
        head = code[last_end:i].rstrip()
        head = head[max(head.rfind(";"), head.rfind("}")) + 1 :].strip()
        if re.match(r"(?:inline\s+)?namespace\b", head):
            i = last_end = i + 1
            continue
        end = closing(code, i, "{", "}")
        signature = SIGNATURE.search(head)
        own = TRACE.search(raw[i : end + 1])
        if signature and not re.search(r"\b(?:struct|class|enum|union)\b", head):
            params, ints = parameter_names(signature.group(2))
            found.append(
                Body(
                    str(path.relative_to(root)),
                    signature.group(1),
                    params,
                    ints,
                    code.count("\n", 0, i) + 1,
                    code[i : end + 1],
                    own.group(1) if own else None,
                )
            )
        elif TRACE.search(raw[last_end : end + 1]):
            file_trace = TRACE.search(raw[last_end : end + 1]).group(1)
        i = last_end = end + 1
    attach_mirrors(found, comments, path)
    defs = {name: body for body in found for name in def_names(body)}
    for body in found:
        # A helper handed the entry as `tb` reports in its caller's. Where no
        # entry is written out, the function is the one whose def comment the
        # body carries, or the only one the file defines.
        if body.trace is None and "tb" not in body.params:
            body.trace = (
                file_trace or next(iter(def_names(body)), None) or (next(iter(defs)) if len(defs) == 1 else None)
            )
    return found


def def_names(body: Body) -> list[str]:
    return [m.group(2) for _, _, _, text, _ in body.mirrors if (m := DEF.match(text))]


def attach_mirrors(found: list[Body], comments: list[tuple[int, str]], path: Path) -> None:
    """A mirror comment belongs to the function it stands in, or (a `def`
    line) to the one that follows it."""
    for line, text in comments:
        first = MIRROR.match(text)
        if not first:
            continue
        owner = next((b for b in found if b.start <= line <= b.start + b.code.count("\n")), None)
        owner = owner or next((b for b in found if b.start > line), None)
        if owner is None:
            raise AssertionError(f"{path}:{line}: a mirror comment after the last function")
        spans = [first, *MORE_MIRRORS.finditer(text)]
        for span, after in zip(spans, spans[1:] + [None], strict=True):
            low = int(span.group(1))
            statement = text[span.end(2) if span.group(2) else span.end(1) : after.start() if after else None]
            owner.mirrors.append((low, int(span.group(2) or low), line, text, statement.strip()))


def arguments(code: str, open_at: int) -> list[str]:
    inner = code[open_at + 1 : closing(code, open_at, "(", ")")]
    parts, depth, current = [], 0, ""
    for char in inner:
        depth += {"(": 1, "{": 1, "[": 1, ")": -1, "}": -1, "]": -1}.get(char, 0)
        if char == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += char
    return parts + [current.strip()] if current.strip() else parts


def line_expression(text: str, params: list[str]) -> tuple[str, int] | int | None:
    """A literal line, or (parameter, offset), or None for anything else."""
    if re.fullmatch(r"\d+", text):
        return int(text)
    m = re.fullmatch(r"(\w+)(?:\s*\+\s*(\d+))?", text)
    if m and m.group(1) in params:
        return m.group(1), int(m.group(2) or 0)
    return None


def fail_arguments(body: Body):
    """Each `tb.fail` argument of the body, a local `int at = line;` read as
    `line`, with its offset in the body."""
    aliases = dict(re.findall(r"\bint\s+(\w+)\s*=\s*(\w+)\s*;", body.code))
    for m in FAIL.finditer(body.code):
        [text] = arguments(body.code, m.end() - 1)
        yield aliases.get(text, text), m.start()


def failures(body: Body, helpers: dict[str, Body]):
    """Each line the body fails at, directly or through a line helper:
    (line expression, source line in the body, None or (helper, parameter))."""
    for text, at in fail_arguments(body):
        yield line_expression(text, body.params), body.code.count("\n", 0, at), None
    for name, helper in helpers.items():
        for m in re.finditer(rf"(?<![\w.]){name}\s*\(", body.code):
            given = arguments(body.code, m.end() - 1)
            for parameter in helper.line_params:
                index = helper.params.index(parameter)
                if index < len(given):
                    yield (
                        line_expression(given[index], body.params),
                        body.code.count("\n", 0, m.start()),
                        (name, parameter),
                    )


def line_helpers(all_bodies: list[Body]) -> dict[str, Body]:
    """The helpers that take the line to fail at as an int parameter."""
    helpers: dict[str, Body] = {}
    for body in all_bodies:
        for text, _ in fail_arguments(body):
            if isinstance(line_expression(text, body.line_params), tuple):
                helpers[body.name] = body
    grown = True
    while grown:  # a helper that hands its line on to a helper is one too
        grown = False
        for body in all_bodies:
            if body.name in helpers or not body.line_params:
                continue
            for expression, _, via in list(failures(body, dict(helpers))):
                if via and isinstance(expression, tuple):
                    helpers[body.name], grown = body, True
    return helpers


def offsets(helper: Body, parameter: str, helpers: dict[str, Body], seen=()) -> set[int]:
    """The offsets k at which `helper` fails for a base line given as `parameter`."""
    found = set()
    for expression, _, via in failures(helper, helpers):
        if not (isinstance(expression, tuple) and expression[0] == parameter):
            continue
        if via is None:
            found.add(expression[1])
        elif via[0] not in seen:
            inner = offsets(helpers[via[0]], via[1], helpers, seen + (helper.name,))
            found |= {expression[1] + k for k in inner}
    return found


def sources() -> list[Path]:
    return sorted(p for p in SRC.rglob("*") if p.suffix in (".cpp", ".hpp"))


def named_lines(all_bodies: list[Body]) -> dict[str | None, set[int]]:
    """The lines each module function's mirror comments name."""
    named: dict[str | None, set[int]] = defaultdict(set)
    for body in all_bodies:
        for first, last, *_ in body.mirrors:
            named[body.trace].update(range(first, last + 1))
    return named


def check(all_bodies: list[Body]) -> tuple[dict[str | None, list[str]], dict]:
    """Problems by module function (None: code owned by no known function),
    and the lines each function's mirror comments name."""
    problems: dict[str | None, list[str]] = defaultdict(list)
    named, helpers = named_lines(all_bodies), line_helpers(all_bodies)
    for body in all_bodies:
        if body.trace not in FUNCTIONS:
            problems[None] += [
                f"{body.file}:{source}: mirror comment in {body.name}, which no module function's entry covers"
                for _, _, source, *_ in body.mirrors
            ]
        for expression, offset, via in failures(body, helpers):
            if isinstance(expression, tuple):
                continue  # a helper's own line parameter: checked at its callers
            where = f"{body.file}:{body.start + offset}: {body.name}"
            if expression is None:
                problems[body.trace].append(f"{where} fails at a line that is neither a literal nor a line parameter")
                continue
            lines = {expression}
            if via:
                lines = {expression + k for k in offsets(helpers[via[0]], via[1], helpers)} or lines
            for line in sorted(lines):
                if body.trace not in FUNCTIONS:
                    problems[None].append(f"{where} fails at {line}, outside every module function")
                elif line not in named[body.trace]:
                    problems[body.trace].append(
                        f"{where} fails at line {line}, which no mirror comment of the function names"
                    )
    return problems, named


def misplaced(all_bodies: list[Body], name: str, named: set[int]) -> list[str]:
    """What is wrong with where `name` stands: its def comment, or lines named
    outside its def line and the next function's."""
    starts = sorted(f.def_line for f in FUNCTIONS.values()) + [MAIN_GUARD_LINE]
    low = FUNCTIONS[name].def_line
    high = starts[starts.index(low) + 1]
    defs = [
        (int(m.group(1)), m.group(2))
        for body in all_bodies
        if body.trace == name
        for _, _, _, text, _ in body.mirrors
        for m in [DEF.match(text)]
        if m
    ]
    problems = [] if defs == [(low, name)] else [f"def comments {defs}, expected {[(low, name)]}"]
    return problems + [f"line {line} is outside {low}-{high - 1}" for line in sorted(named) if not low <= line < high]


def record_problems(texts: list[str]) -> list[str]:
    """What is wrong with the functions' records: each module function has
    one, named after it, giving the def line of the signature table."""
    found = [m.groups() for text in texts for m in RECORD.finditer(text)]
    problems = [f"{spec}_spec is the record of velka.{entry}" for spec, entry, _ in found if spec != entry]
    for name, function in FUNCTIONS.items():
        lines = [int(line) for _, entry, line in found if entry == name]
        if lines != [function.def_line]:
            problems.append(f"{name}: records give def lines {lines}, expected [{function.def_line}]")
    return problems


def test_each_function_has_one_record_with_its_def_line():
    assert record_problems([path.read_text() for path in sources()]) == []


RECORD_SAMPLE = """
constexpr FunctionSpec get_ident_text_spec{
    "velka.get_ident_text", 105, 3, 3, {"soup", "vars", "attr"}, {}, {"elem", "e"}, -1,
    get_ident_text};
"""


@pytest.mark.parametrize(
    "change, expected",
    [
        (("105", "106"), ["get_ident_text: records give def lines [106], expected [105]"]),
        (("get_ident_text_spec", "page_ffe_spec"), ["page_ffe_spec is the record of velka.get_ident_text"]),
    ],
)
def test_the_record_check_finds_a_wrong_record(change, expected):
    others = [
        f'FunctionSpec {name}_spec{{"velka.{name}", {function.def_line},'
        for name, function in FUNCTIONS.items()
        if name != "get_ident_text"
    ]
    assert record_problems(others + [RECORD_SAMPLE]) == []
    assert record_problems(others + [RECORD_SAMPLE.replace(*change)]) == expected


@pytest.fixture(scope="module")
def checked():
    all_bodies = [body for path in sources() for body in bodies(path)]
    return all_bodies, *check(all_bodies)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_each_traceback_line_is_a_mirrored_statement_of_its_function(checked, name):
    all_bodies, problems, named = checked
    assert problems.get(name, []) == []
    assert misplaced(all_bodies, name, named[name]) == []
    assert named[name], "no mirror comment at all"


def test_every_failure_is_read_and_owned(checked):
    all_bodies, problems, _ = checked
    assert problems.get(None, []) == []
    in_files = sum(len(FAIL.findall(blank(path.read_text())[0])) for path in sources())
    assert sum(len(FAIL.findall(body.code)) for body in all_bodies) == in_files > 0


SAMPLE = """
#include "module/runtime.hpp"
namespace velka {
namespace {
constexpr Trace tb{read_url_spec};
// Two statements from `line`.
int two(const Ref& x, int line) {
    if (!x) return tb.fail(line);
    return truth(x) < 0 ? tb.fail(line + 1) : 0;
}
int via(const Ref& x, int line) { return two(x, line + 2); }
}  // namespace

// 12  def read_url(session, url: str, data=None, files=None):
Ref read_url(const Bound& args) {
    Ref fps = none();                                   // 13  fps = None
    if (!fps) return tb.fail(13);
    if (two(fps, 16) < 0) return {};                    // 16-17  if data or files: ...
    if (via(fps, 18) < 0) return {};                    // 18-21
    call(fps, {"}{"});                                  // 28  try:  29  for h in fps.values():
    if (!fps) return tb.fail(29);
    return fps;                                         // 31  return content
}
}  // namespace velka
"""


@pytest.mark.parametrize(
    "change, expected",
    [
        (None, []),
        (("tb.fail(13)", "tb.fail(14)"), ["fails at line 14"]),
        (("tb.fail(29)", "tb.fail(30)"), ["fails at line 30"]),
        (("two(fps, 16)", "two(fps, 21)"), ["fails at line 22"]),
        (("via(fps, 18)", "via(fps, 19)"), ["fails at line 22"]),
        (("tb.fail(line + 1)", "tb.fail(line + 2)"), ["fails at line 22"]),
        (("// 18-21", "// 18"), ["fails at line 20", "fails at line 21"]),
        (("tb.fail(13)", "tb.fail(fps)"), ["neither a literal nor a line parameter"]),
        (("tb{read_url_spec}", "tb{read_url_entry}"), []),  # found by its def comment
        (
            ("tb{read_url_spec}", "tb{other_spec}"),
            ["no module function's entry covers", "outside every module function"],
        ),
    ],
)
def test_the_check_finds_a_line_no_comment_names(tmp_path, change, expected):
    source = SAMPLE if change is None else SAMPLE.replace(*change)
    assert source != SAMPLE or change is None
    (tmp_path / "sample.cpp").write_text(source)
    problems, _ = check(bodies(tmp_path / "sample.cpp", tmp_path))
    found = [text for texts in problems.values() for text in texts]
    assert all(any(part in text for part in expected) for text in found), found
    assert all(any(part in text for text in found) for part in expected), found


@pytest.mark.parametrize(
    "change, expected",
    [
        (None, []),
        (("// 31  return", "// 105  return"), ["line 105 is outside 12-104"]),
        (
            ("// 12  def read_url", "// 11  def read_url"),
            ["def comments [(11, 'read_url')]", "line 11 is outside 12-104"],
        ),
    ],
)
def test_the_check_finds_a_line_outside_its_function(tmp_path, change, expected):
    (tmp_path / "sample.cpp").write_text(SAMPLE if change is None else SAMPLE.replace(*change))
    all_bodies = bodies(tmp_path / "sample.cpp", tmp_path)
    _, named = check(all_bodies)
    found = misplaced(all_bodies, "read_url", named["read_url"])
    assert len(found) == len(expected), found
    assert all(text.startswith(part) for part, text in zip(expected, found, strict=True)), found


# The listing: the plain-Python twin, laid out so that its line N is line N of
# the module's script. Each mirror comment is its statement there, and every
# statement there that can fail has its mirror.

LISTING = SRC.parent / "bench" / "baseline.py"
# A string literal, an ellipsis, a word, a comment, or one other character.
TOKEN = re.compile(r"""[rbfuRBFU]{0,2}(?:"(?:[^"\\\n]|\\.)*"|'(?:[^'\\\n]|\\.)*')|\.\.\.|\w+|#.*|\S""")
ELLIPSIS = "..."


def tokens(text: str) -> list[str]:
    """The statement's tokens: blanks and a trailing comment dropped, and the
    semicolons that join two statements named together."""
    found = []
    for token in TOKEN.findall(text):
        if token.startswith("#"):
            break
        if token != ";":
            found.append(token)
    return found


def matches(mirror: list[str], listed: list[str]) -> bool:
    """Whether the mirror's tokens are the listing's, an ellipsis standing
    for any run of them."""
    if not mirror:
        return not listed
    if mirror[0] == ELLIPSIS:
        return any(matches(mirror[1:], listed[i:]) for i in range(len(listed) + 1))
    return bool(listed) and mirror[0] == listed[0] and matches(mirror[1:], listed[1:])


def stale_mirrors(all_bodies: list[Body], listing: list[str]) -> list[str]:
    """Each mirror comment whose statement is not the listing's at its lines."""
    problems = []
    for body in all_bodies:
        for low, high, source, _, statement in body.mirrors:
            listed = " ".join(listing[low - 1 : high])
            if not statement:
                problems.append(f"{body.file}:{source}: the mirror of {low} names no statement")
            elif not matches(tokens(statement), tokens(listed)):
                problems.append(f"{body.file}:{source}: mirrors {statement!r}, the listing has {listed.strip()!r}")
    return problems


def can_fail(node: ast.AST, local: set[str]) -> bool:
    """Whether evaluating the expression can raise: anything but constants,
    locals and identity tests of them."""
    if node is None or isinstance(node, ast.Constant):
        return False
    if isinstance(node, ast.Name):
        return node.id not in local
    if isinstance(node, ast.Compare) and all(isinstance(op, ast.Is | ast.IsNot) for op in node.ops):
        return any(can_fail(part, local) for part in [node.left, *node.comparators])
    return True


def failing_statements(function: ast.FunctionDef, local: set[str]) -> list[tuple[int, str]]:
    """The lines of the function's statements (and except clauses) that can
    fail, each with its first line of text."""
    found = []
    for node in ast.walk(function):
        if isinstance(node, ast.ExceptHandler):
            heads = [node.type]
        elif isinstance(node, ast.If | ast.While):
            # A truth test can fail, unless it is an identity test.
            heads = [node.test if isinstance(node.test, ast.Compare) else ast.Call()]
        elif isinstance(node, ast.For | ast.Raise):
            heads = [ast.Call()]  # iteration and raising always may
        elif isinstance(node, ast.Assign | ast.AugAssign | ast.AnnAssign | ast.Expr | ast.Return):
            targets = getattr(node, "targets", None) or [getattr(node, "target", None)]
            heads = [node.value] + [t for t in targets if not isinstance(t, ast.Name)]
            heads += [ast.Call()] if isinstance(node, ast.AugAssign) else []
        else:
            continue  # def, try, pass, continue, break, return of nothing
        if any(can_fail(head, local) for head in heads):
            found.append((node.lineno, ast.get_source_segment(LISTING_TEXT, node).split("\n")[0]))
    return sorted(found)


LISTING_TEXT = LISTING.read_text()


def unmirrored(named: dict[str | None, set[int]], listing: str, names=FUNCTIONS) -> list[str]:
    """Each statement of the listing's functions that can fail and that no
    mirror comment of its function names; and each def off its record's line."""
    problems = []
    for function in ast.parse(listing).body:
        if not isinstance(function, ast.FunctionDef) or function.name not in names:
            continue
        spec = FUNCTIONS[function.name]
        if function.lineno != spec.def_line:
            problems.append(f"def {function.name} at line {function.lineno}, its record says {spec.def_line}")
        local = {*spec.parameters, *spec.others}
        problems += [
            f"{function.name} line {line}: {text!r} can fail, and no mirror comment names it"
            for line, text in failing_statements(function, local)
            if line not in named[function.name]
        ]
    return problems


def test_each_mirror_comment_is_its_statement_in_the_listing(checked):
    all_bodies, _, named = checked
    assert stale_mirrors(all_bodies, LISTING_TEXT.splitlines()) == []
    assert unmirrored(named, LISTING_TEXT) == []


def test_the_listing_keeps_the_module_lines():
    tree = ast.parse(LISTING_TEXT)
    defs = {
        node.name: node.lineno for node in tree.body if isinstance(node, ast.FunctionDef) and node.name in FUNCTIONS
    }
    assert defs == {name: function.def_line for name, function in FUNCTIONS.items()}
    guard = next(node for node in tree.body if isinstance(node, ast.If))
    assert guard.lineno == MAIN_GUARD_LINE


MODULE_LINE = re.compile(r"\bline = (\d+|main_guard_line);\s*//\s*(.+)")
CONSTANT = re.compile(r'\{(\d+), &Strings::(\w+), "([^"]*)"\}')


def module_statement_problems(velkax: str, constants: str, listing: list[str]) -> list[str]:
    """The module's own statements (velkax.cpp) and its constants
    (constants.hpp) against the listing's lines."""
    statements = [
        (MAIN_GUARD_LINE if line == "main_guard_line" else int(line), text)
        for line, text in MODULE_LINE.findall(velkax)
    ]
    statements += [(int(line), f'{name} = "{value}"') for line, name, value in CONSTANT.findall(constants)]
    return [
        f"line {line}: the module has {text!r}, the listing {listing[line - 1]!r}"
        for line, text in statements
        if not matches(tokens(text), tokens(listing[line - 1]))
    ] + ([] if len(statements) > 11 else ["the module's statements were not found"])


def test_the_module_statements_stand_at_their_listing_lines():
    velkax, constants = (SRC / "module" / name for name in ("velkax.cpp", "constants.hpp"))
    listing = LISTING_TEXT.splitlines()
    assert module_statement_problems(velkax.read_text(), constants.read_text(), listing) == []
    moved = module_statement_problems(velkax.read_text(), constants.read_text(), [""] + listing)
    assert len(moved) > 11


READ_URL = SRC / "web" / "read_url.cpp"


@pytest.mark.parametrize(
    "change, expected",
    [
        (None, []),
        # A message changed on one side only.
        (('"erreur envoi:", str(e))', '"erreur d\'envoi:", str(e))'), ["read_url.cpp:65: mirrors 'print("]),
        (("// 14  content = None", "// 14  content = 0"), ["mirrors 'content = 0'"]),
        (("// 25          content =", "// 26          content ="), ["mirrors 'content = response", "names it"]),
        (("for h in fps.values():  30", "for  h in fps.values( ):  30"), []),  # blanks are no part of it
        (("// 26  except Exception as e:", "//"), ["line 26: 'except Exception as e:' can fail"]),
        (("// 28  if fps:", "// 28"), ["the mirror of 28 names no statement"]),
        (("fps.values():  30  h.close()", "fps.values():  30  h.close(...)"), []),
        (("fps.values():  30  h.close()", "fps.values():  30  h.open()"), ["mirrors 'h.open()'"]),
    ],
)
def test_the_listing_check_finds_a_stale_mirror(tmp_path, change, expected):
    source = READ_URL.read_text()
    if change:
        assert change[0] in source
        source = source.replace(*change)
    (tmp_path / "read_url.cpp").write_text(source)
    all_bodies = bodies(tmp_path / "read_url.cpp", tmp_path)
    found = stale_mirrors(all_bodies, LISTING_TEXT.splitlines())
    found += unmirrored(named_lines(all_bodies), LISTING_TEXT, ["read_url"])
    assert all(any(part in text for part in expected) for text in found), found
    assert all(any(part in text for text in found) for part in expected), found


def test_the_listing_check_finds_a_statement_moved_in_the_listing():
    all_bodies = [body for path in sources() for body in bodies(path)]
    listing = LISTING_TEXT.splitlines()
    at = listing.index('        print("syntaxe: trasko fichier-tournoi")')
    moved = listing[:at] + [""] + listing[at:]
    assert [text.split(": ", 1)[1] for text in stale_mirrors(all_bodies, moved)] == [
        "mirrors 'print(\"syntaxe: trasko fichier-tournoi\")', the listing has ''",
        "mirrors 'return None', the listing has 'print(\"syntaxe: trasko fichier-tournoi\")'",
    ]
