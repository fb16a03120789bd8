"""read_url against a real loopback server and through sessions that misbehave;
the form readers on real parsed pages; the QR probe."""

import gc
import os
import re
import types
import warnings

import pytest
import requests
import urllib3
from bs4 import BeautifulSoup
from support import (
    ERREUR_ENVOI,
    GETTING,
    HYPHENS,
    WINDOWS,
    Response,
    erreur_lecture,
    erreur_lecture_id,
    said_line,
    velka_entries,
    windows_differs,
)

import velka
from peer import close_before, close_during, closed_port, form_fields, multipart_parts, page

# What reaches an organiser differs between urllib3 1.26 (the lowest
# supported requests, 2.28, uses it) and urllib3 2: each range is asserted.
URLLIB3_2 = int(urllib3.__version__.split(".")[0]) >= 2


@pytest.fixture
def session():
    with requests.Session() as s:
        yield s


def lines(capsys):
    return capsys.readouterr().out.splitlines()


# --- read_url over HTTP -------------------------------------------------------


@pytest.mark.parametrize(
    "data, files",
    [
        (None, None),
        ({}, None),
        ({}, {}),
        ("", ()),
        (None, {}),
        (0, []),
    ],
)
def test_nothing_to_send_is_a_get(peer, session, capsys, data, files):
    peer.queue(page("<p>caf\u00e9</p>"))
    assert velka.read_url(session, peer.url + "/x", data, files) == "<p>caf\u00e9</p>"
    [request] = peer.requests
    assert (request.method, request.path, request.body) == ("GET", "/x", b"")
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("files", [None, {}])
def test_form_fields_are_posted_url_encoded_in_order(peer, session, files):
    data = {"__VIEWSTATE": "v/+=", "empty": "", "login": "\u00e9l\u00e8ve", "dropped": None}
    assert velka.read_url(session, peer.url + "/Default.aspx", data, files) is not None
    [request] = peer.requests
    assert request.method == "POST" and request.path == "/Default.aspx"
    assert form_fields(request) == [("__VIEWSTATE", "v/+="), ("empty", ""), ("login", "\u00e9l\u00e8ve")]


def test_files_are_posted_after_the_fields_with_their_own_name_and_bytes(peer, session, tmp_path):
    papi = tmp_path / "open \u00e9t\u00e9.papi"
    payload = bytes(range(256)) * 40 + b"\r\n--boundary\r\n"
    papi.write_bytes(payload)
    notes = tmp_path / "notes.txt"
    notes.write_bytes(b"second")
    data = {"__EVENTTARGET": "up", "__EVENTARGUMENT": ""}
    files = {"upload": str(papi), "other": str(notes)}
    assert velka.read_url(session, peer.url, data, files) is not None
    parts = multipart_parts(peer.requests[0])
    assert [(p.name, p.filename, p.data) for p in parts] == [
        ("__EVENTTARGET", None, b"up"),
        ("__EVENTARGUMENT", None, b""),
        ("upload", papi.name, payload),
        ("other", "notes.txt", b"second"),
    ]


def test_files_without_fields_are_still_posted(peer, session, tmp_path):
    (tmp_path / "t.papi").write_bytes(b"\x00\x01")
    velka.read_url(session, peer.url, files={"f": str(tmp_path / "t.papi")})
    assert [(p.name, p.data) for p in multipart_parts(peer.requests[0])] == [("f", b"\x00\x01")]


@pytest.mark.parametrize("status", [404, 500])
def test_error_pages_are_returned_as_text(peer, session, capsys, status):
    peer.queue(page("<h1>Erreur \u00e9</h1>", status=status))
    assert velka.read_url(session, peer.url) == "<h1>Erreur \u00e9</h1>"
    assert capsys.readouterr().out == ""


def test_a_body_that_is_not_utf8_is_reported_and_gives_none(peer, session, capsys):
    body = "<p>caf\u00e9 cr\u00e8me</p>".encode("cp1252")
    peer.queue(page(body, content_type="text/html; charset=windows-1252"))
    with pytest.raises(UnicodeDecodeError) as expected:
        body.decode()
    assert velka.read_url(session, peer.url) is None
    assert lines(capsys) == [said_line(ERREUR_ENVOI, expected.value)]


@pytest.mark.parametrize("unreachable", ["closed port", "reset"])
def test_an_unreachable_server_gives_one_line_and_none(peer, session, capsys, tmp_path, unreachable):
    url = closed_port() if unreachable == "closed port" else peer.url
    peer.queue(close_before())
    (tmp_path / "a").write_bytes(b"a")
    assert velka.read_url(session, url, {"k": "v"}, {"f": str(tmp_path / "a")}) is None
    [line] = lines(capsys)
    assert line.startswith(said_line(ERREUR_ENVOI, "")) and len(line) > len(ERREUR_ENVOI) + 1


REFUSED = "Failed to establish a new connection: [Errno 111] Connection refused"
UNRESOLVED = "[Errno 11001] getaddrinfo failed" if WINDOWS else "[Errno -2] Name or service not known"
WINDOWS_TEXT = windows_differs("the refusal is told in Windows' own words, in its display language")
WINDOWS_FORBIDS = windows_differs("Windows forbids this character in a file name")


@pytest.mark.parametrize(
    "host, port, error, text",
    [
        pytest.param("127.0.0.1", None, "NewConnectionError", REFUSED, marks=WINDOWS_TEXT),
        ("velka-test.invalid", 80, "NameResolutionError", f"Failed to resolve 'velka-test.invalid' ({UNRESOLVED})")
        if URLLIB3_2
        else ("velka-test.invalid", 80, "NewConnectionError", f"Failed to establish a new connection: {UNRESOLVED}"),
    ],
)
def test_the_failure_text_of_a_refused_connection_or_an_unknown_host(session, capsys, host, port, error, text):
    url = closed_port() if port is None else f"http://{host}:{port}"
    port = url.rsplit(":", 1)[1]
    assert velka.read_url(session, url + "/x") is None
    [line] = lines(capsys)
    # urllib3 1.26 names the connection by its object's address, which varies.
    line = re.sub(r"object at 0x[0-9a-f]+>", "object at 0x...>", line)
    if URLLIB3_2:
        connection = f"HTTPConnection(host='{host}', port={port})"
    else:
        connection = "<urllib3.connection.HTTPConnection object at 0x...>"
    cause = f"{error}({f'{connection}: {text}'!r})"
    assert line == (
        f"{ERREUR_ENVOI} HTTPConnectionPool(host='{host}', port={port}): "
        f"Max retries exceeded with url: /x (Caused by {cause})"
    )


def test_a_truncated_answer_is_an_error_with_urllib3_2_and_a_short_page_before(peer, session, capsys):
    peer.queue(close_during(nbytes=50, length=500))
    result = velka.read_url(session, peer.url)
    if URLLIB3_2:
        assert result is None
        [line] = lines(capsys)
        assert re.fullmatch(
            re.escape(ERREUR_ENVOI) + r" \('Connection broken: IncompleteRead\(50 bytes read, 450 more expected\)', "
            r"IncompleteRead\(50 bytes read, 450 more expected\)\)",
            line,
        ), line
    else:
        assert result == "x" * 50 and capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "name, sent_new, sent_old",
    [
        pytest.param("back\\slash.papi", "back\\slash.papi", "back\\\\slash.papi", marks=WINDOWS_FORBIDS),
        pytest.param("bell\x07.papi", "bell\x07.papi", "bell%07.papi", marks=WINDOWS_FORBIDS),
        pytest.param('quote".papi', "quote%22.papi", "quote%22.papi", marks=WINDOWS_FORBIDS),
        pytest.param("line\nend.papi", "line%0Aend.papi", "line%0Aend.papi", marks=WINDOWS_FORBIDS),
    ],
)
def test_how_the_upload_names_its_file_per_library_version(peer, session, tmp_path, name, sent_new, sent_old):
    (tmp_path / name).write_bytes(b"papi")
    assert velka.read_url(session, peer.url, {"k": "v"}, {"f": str(tmp_path / name)}) is not None
    sent = sent_new if URLLIB3_2 else sent_old
    assert f'name="f"; filename="{sent}"\r\n'.encode() in peer.requests[0].body


# --- read_url through sessions and arguments that misbehave ----------------------


class KeepingSession:
    """Keeps what it is given; `fail` is raised from post (after the files
    were handed over)."""

    def __init__(self, fail=None):
        self.given = []
        self.fail = fail

    def get(self, url):
        self.given.append(("get", url))
        if self.fail:
            raise self.fail
        return Response()

    def post(self, url, data=None, files=None):
        self.given.append(("post", url, data, files))
        if self.fail:
            raise self.fail
        return Response()


@pytest.fixture
def papi_files(tmp_path):
    paths = []
    for name in ("one.papi", "two.papi"):
        (tmp_path / name).write_bytes(name.encode())
        paths.append(str(tmp_path / name))
    return paths


@pytest.mark.parametrize(
    "fail, printed",
    [
        (None, []),
        (OSError("network down"), [said_line(ERREUR_ENVOI, "network down")]),
    ],
)
def test_opened_files_are_handed_over_in_order_then_closed(capsys, papi_files, fail, printed):
    session = KeepingSession(fail)
    result = velka.read_url(session, "u", {"a": "b"}, {"f2": papi_files[1], "f1": papi_files[0]})
    assert result == (None if fail else "done") and lines(capsys) == printed
    [(method, url, data, fps)] = session.given
    assert (method, url, data) == ("post", "u", {"a": "b"})
    assert list(fps) == ["f2", "f1"] and [f.name for f in fps.values()] == papi_files[::-1]
    assert all(f.closed and f.mode == "rb" for f in fps.values())


def test_a_missing_file_sends_nothing_and_closes_those_opened(capsys, papi_files, tmp_path):
    session = KeepingSession()
    missing = str(tmp_path / "missing.papi")
    with pytest.raises(FileNotFoundError) as expected:
        open(missing, "rb")
    fds = len(os.listdir("/proc/self/fd"))
    # A file dropped without close() would say so with a ResourceWarning.
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always", ResourceWarning)
        assert velka.read_url(session, "u", None, {"a": papi_files[0], "b": missing}) is None
        gc.collect()
    assert [w.message for w in warned] == []
    assert session.given == [] and lines(capsys) == [said_line(ERREUR_ENVOI, expected.value)]
    assert len(os.listdir("/proc/self/fd")) == fds


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_interrupts_pass_through_without_line_or_closing(capsys, papi_files, error):
    session = KeepingSession(error())
    with pytest.raises(error) as raised:
        velka.read_url(session, "u", None, {"f": papi_files[0]})
    assert velka_entries(raised.value.__traceback__) == [("velka.read_url", 21)]
    [(_, _, _, fps)] = session.given
    assert not fps["f"].closed and capsys.readouterr().out == ""
    fps["f"].close()


def test_an_error_from_close_reaches_the_caller_and_stops_the_closing(papi_files):
    class ClosingUnderneath(KeepingSession):
        def post(self, url, data=None, files=None):
            os.close(files["first"].fileno())  # so that its close() fails
            return super().post(url, data, files)

    session = ClosingUnderneath()
    with pytest.raises(OSError) as raised:
        velka.read_url(session, "u", None, {"first": papi_files[0], "second": papi_files[1]})
    assert velka_entries(raised.value.__traceback__) == [("velka.read_url", 30)]
    second = session.given[0][3]["second"]
    assert not second.closed
    second.close()


class Raising:
    def __init__(self, error):
        self.error = error

    def __bool__(self):
        raise self.error

    def items(self):
        raise self.error


@pytest.mark.parametrize(
    "data, files, printed",
    [
        (Raising(ValueError("no truth")), None, said_line(ERREUR_ENVOI, "no truth")),
        (None, Raising(LookupError("no truth either")), said_line(ERREUR_ENVOI, "no truth either")),
        (
            {"a": 1},
            type("Items", (dict,), {"items": lambda self: 1 / 0})({"f": "x"}),
            said_line(ERREUR_ENVOI, "division by zero"),
        ),
        (
            {"a": 1},
            type("Items", (dict,), {"items": lambda self: [("f", "x", "y")]})({"f": "x"}),
            said_line(ERREUR_ENVOI, "too many values to unpack (expected 2)"),
        ),
        (
            {"a": 1},
            type("Items", (dict,), {"items": lambda self: [7]})({"f": "x"}),
            said_line(ERREUR_ENVOI, "cannot unpack non-iterable int object"),
        ),
    ],
)
def test_odd_arguments_are_reported_and_give_none(capsys, data, files, printed):
    session = KeepingSession()
    assert velka.read_url(session, "u", data, files) is None
    assert lines(capsys) == [printed] and session.given == []


def test_a_failing_print_of_the_failure_line_reaches_the_caller(monkeypatch):
    class BrokenOut:
        def write(self, text):
            raise BrokenPipeError("stdout closed")

    monkeypatch.setattr("sys.stdout", BrokenOut())
    with pytest.raises(BrokenPipeError) as raised:
        velka.read_url(KeepingSession(OSError("down")), "u")
    assert isinstance(raised.value.__context__, OSError)  # raised while handling it
    assert velka_entries(raised.value.__traceback__) == [("velka.read_url", 27)]


# --- the form readers ---------------------------------------------------------------

PAGE = BeautifulSoup(
    """
<form>
  <input type="hidden" name="__VIEWSTATE" value="first" />
  <input type="hidden" name="__VIEWSTATE" value="second" />
  <input type="hidden" name="__EVENTVALIDATION" />
  <input type="hidden" name="__VIEWSTATEGENERATOR" value="" />
  <input type="text" id="only_id" value="by id" />
  <a id="ctl00_Button"><b>D\u00e9sactiver</b> le tournoi</a>
  <span id="blank"></span>
</form>""",
    "html.parser",
)


@pytest.mark.parametrize(
    "attr, value",
    [
        ("__VIEWSTATE", "first"),
        ("__EVENTVALIDATION", None),
        ("__VIEWSTATEGENERATOR", ""),
    ],
)
def test_get_attr_value_stores_the_value_attribute(capsys, attr, value):
    found = {attr: "stale"}
    assert velka.get_attr_value(PAGE, found, attr) is None
    assert found == {attr: value} and capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "attr, text",
    [
        ("ctl00_Button", "D\u00e9sactiver le tournoi"),
        ("blank", ""),
        ("only_id", ""),
    ],
)
def test_get_ident_text_stores_the_joined_text(capsys, attr, text):
    found = {}
    assert velka.get_ident_text(PAGE, found, attr) is None
    assert found == {attr: text} and capsys.readouterr().out == ""


class Element:
    def get(self, key):
        return f"got {key}"

    def get_text(self):
        return "text"


class PageWithFind:
    """find on the type, where the call takes the page as its first argument."""

    def __init__(self, calls):
        self.calls = calls

    def find(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return Element()


def page_with_own_find(calls):
    """find as the page's own attribute, called without the page."""

    def find(*args, **kwargs):
        calls.append((args, kwargs))
        return Element()

    return types.SimpleNamespace(find=find)


@pytest.mark.parametrize("make_page", [PageWithFind, page_with_own_find])
@pytest.mark.parametrize(
    "reader, args, query, stored",
    [
        (velka.get_attr_value, ("k",), {"attrs": {"name": "k"}}, "got value"),
        (velka.get_attr_value, ("k", "id"), {"id": "k"}, "text"),
        (velka.get_ident_text, ("k",), {"id": "k"}, "text"),
    ],
)
def test_the_readers_pass_find_its_keyword_however_find_is_found(capsys, make_page, reader, args, query, stored):
    calls, found = [], {}
    assert reader(make_page(calls), found, *args) is None
    assert calls == [((), query)] and found == {"k": stored}


def test_get_attr_value_by_id_announces_and_echoes(capsys):
    found = {}
    velka.get_attr_value(PAGE, found, "ctl00_Button", "id")
    assert found == {"ctl00_Button": "D\u00e9sactiver le tournoi"}
    assert lines(capsys) == [said_line(GETTING, "ctl00_Button"), "D\u00e9sactiver le tournoi"]


@pytest.mark.parametrize(
    "reader, args, printed",
    [
        (velka.get_attr_value, ("only_id",), [erreur_lecture("only_id")]),  # an id is not a name
        (velka.get_attr_value, ("only_id", "ID"), [erreur_lecture("only_id")]),  # "ID" is not "id"
        (velka.get_attr_value, ("nowhere", "id"), [said_line(GETTING, "nowhere"), erreur_lecture("nowhere")]),
        (velka.get_attr_value, (5,), [erreur_lecture(5)]),
        (velka.get_ident_text, ("__VIEWSTATE",), [erreur_lecture_id("__VIEWSTATE")]),
    ],
)
def test_a_missing_element_is_reported_then_raised(capsys, reader, args, printed):
    found = {}
    with pytest.raises(AttributeError) as raised:
        reader(PAGE, found, *args)
    assert "NoneType" in str(raised.value)
    assert found == {} and lines(capsys) == printed


@pytest.mark.parametrize(
    "reader, line, printed",
    [
        (velka.get_ident_text, 107, erreur_lecture_id("key")),
        (velka.get_attr_value, 121, erreur_lecture("key")),
    ],
)
def test_the_same_error_object_is_raised_again_with_its_traceback(capsys, reader, line, printed):
    failure = LookupError("from the page")

    class Element:
        def get_text(self):
            raise failure

        def get(self, name):
            raise failure

    class Soup:
        def find(self, **query):
            return Element()

    with pytest.raises(LookupError) as raised:
        reader(Soup(), {}, "key")
    assert raised.value is failure
    assert velka_entries(raised.value.__traceback__) == [(f"velka.{reader.__name__}", line)]
    assert raised.traceback[-1].name in ("get_text", "get")  # the original frames are kept
    assert lines(capsys) == [printed]


@pytest.mark.parametrize("reader", [velka.get_ident_text, velka.get_attr_value])
def test_a_mapping_that_refuses_the_value_is_reported(capsys, reader):
    import types

    with pytest.raises(TypeError):
        reader(PAGE, types.MappingProxyType({}), "ctl00_Button" if reader is velka.get_ident_text else "__VIEWSTATE")
    assert len(lines(capsys)) == 1


@pytest.mark.parametrize("reader", [velka.get_ident_text, velka.get_attr_value])
def test_an_interrupt_in_the_reader_has_no_failure_line(capsys, reader):
    class Soup:
        def find(self, **query):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        reader(Soup(), {}, "key")
    assert capsys.readouterr().out == ""


# --- the QR probe ---------------------------------------------------------------


class PageSession:
    def __init__(self, body):
        self.body = body
        self.urls = []

    def get(self, url):
        self.urls.append(url)
        if isinstance(self.body, Exception):
            raise self.body
        return Response(self.body.encode())


@pytest.mark.parametrize(
    "body, printed",
    [
        (
            '<div id="result">one</div><p><span id="result"><i>t</i>wo\nlines</span></p><b id="result"></b>',
            ["one", "two", "lines", ""],
        ),
        ("<p>nothing</p>", []),
    ],
)
def test_get_page_test_prints_the_page_then_each_result(monkeypatch, capsys, body, printed):
    session = PageSession(body)
    monkeypatch.setattr(velka, "Session", lambda: session)
    assert velka.get_page_test() is None
    [url] = session.urls
    assert url.startswith("https://") and url.endswith("/qr/qrupload")
    assert lines(capsys) == body.splitlines() + [HYPHENS] + printed


def test_get_page_test_on_an_unreachable_service(monkeypatch, capsys):
    monkeypatch.setattr(velka, "Session", lambda: PageSession(OSError("no route")))
    with pytest.raises(Exception) as raised:
        velka.get_page_test()
    assert velka_entries(raised.value.__traceback__)[0] == ("velka.get_page_test", 262)
    assert lines(capsys) == [said_line(ERREUR_ENVOI, "no route"), "None"]


def test_get_page_test_uses_the_module_globals(monkeypatch, capsys):
    calls = []
    monkeypatch.setattr(velka, "Session", lambda: "session")
    monkeypatch.setattr(velka, "read_url", lambda *args: calls.append(args) or "<i id=result>r</i>")
    velka.get_page_test()
    assert [args[0] for args in calls] == ["session"]
    assert lines(capsys)[-1] == "r"
