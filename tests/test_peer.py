"""The loopback peer itself, driven by plain `requests`."""

import threading
import time

import pytest
import requests
import urllib3
from support import wine_lacks

from peer import (
    Peer,
    close_before,
    close_during,
    closed_port,
    endless,
    form_fields,
    huge,
    multipart_parts,
    open_fds,
    page,
    redirect,
    redirect_loop,
    slow,
)

NO_RESET = wine_lacks("an abortive close (a reset) reaches the client as an orderly one")


def test_get_recorded_with_path_and_headers(peer):
    r = requests.get(peer.url + "/a/b?q=1", headers={"X-Probe": "yes"}, timeout=5)
    assert r.status_code == 200 and "<html>" in r.text
    (rec,) = peer.requests
    assert (rec.method, rec.path) == ("GET", "/a/b?q=1")
    assert rec.header("x-probe") == "yes"
    assert rec.header("HOST") == peer.url.removeprefix("http://")
    assert rec.body == b""


def test_urlencoded_post_keeps_order_and_blanks(peer):
    data = [("z", "last?"), ("a", ""), ("é", "ü & =")]
    requests.post(peer.url + "/f", data=data, timeout=5)
    assert form_fields(peer.requests[0]) == data


def test_multipart_fields_then_binary_file(peer):
    blob = bytes(range(256)) + b"\r\n--not-a-boundary\r\n" + b"\x00" * 10
    requests.post(
        peer.url + "/up",
        data=[("b", "2"), ("a", "ü")],
        files={"file": ("x.bin", blob, "application/octet-stream")},
        timeout=5,
    )
    parts = multipart_parts(peer.requests[0])
    assert [(p.name, p.filename, p.content_type) for p in parts] == [
        ("b", None, None),
        ("a", None, None),
        ("file", "x.bin", "application/octet-stream"),
    ]
    assert [p.data for p in parts] == [b"2", "ü".encode(), blob]


def test_queued_dialogue_with_cookie_and_rules(peer):
    peer.route("GET", "/never", page("rule"))
    peer.queue(redirect("/two", set_cookie="sid=abc; Path=/"), page("two"), page("three", status=201), page("four"))
    with requests.Session() as s:
        r = s.get(peer.url + "/one", timeout=5)
        assert r.text == "two" and r.history[0].status_code == 302
        assert s.get(peer.url + "/never", timeout=5).status_code == 201
        assert s.get(peer.url + "/never", timeout=5).text == "four"
        assert s.get(peer.url + "/never", timeout=5).text == "rule"
    recs = peer.requests
    assert [r.path for r in recs] == ["/one", "/two", "/never", "/never", "/never"]
    assert recs[0].header("Cookie") is None
    assert recs[1].header("Cookie") == "sid=abc"
    # The session reused one connection for the whole dialogue.
    assert {r.conn for r in recs} == {1}


@pytest.mark.parametrize(
    "status,body",
    [
        (404, "<h1>Not here</h1>"),
        (500, "<h1>Broken</h1>"),
        (200, b"caf\xe9 \xff\xfe raw"),  # invalid UTF-8 arrives unchanged
    ],
)
def test_status_and_exact_bytes(peer, status, body):
    peer.route(None, "/p", page(body, status=status))
    r = requests.get(peer.url + "/p", timeout=5)
    assert r.status_code == status
    assert r.content == (body.encode() if isinstance(body, str) else body)


@pytest.mark.parametrize(
    "answer,errors,match",
    [
        # Windows names a reset ConnectionResetError (WinError 10054).
        pytest.param(close_before(), requests.ConnectionError, "(?i)reset", marks=NO_RESET),
        (close_before(reset=False), requests.ConnectionError, "without response"),
        pytest.param(
            close_during(nbytes=50, reset=True),
            (requests.exceptions.ChunkedEncodingError, requests.ConnectionError),
            "(?i)reset",
            marks=NO_RESET,
        ),
        (redirect_loop(), requests.TooManyRedirects, "redirects"),
    ],
)
def test_hostile_answers_raise_and_are_recorded(peer, answer, errors, match):
    peer.route(None, None, answer)
    with pytest.raises(errors, match=match):
        requests.post(peer.url + "/h", data={"k": "v"}, timeout=5)
    assert peer.requests[0].path == "/h"
    assert form_fields(peer.requests[0]) == [("k", "v")]


def test_close_during_clean_close_truncates(peer):
    peer.route(None, None, close_during(nbytes=50, length=500))
    if int(urllib3.__version__.split(".")[0]) >= 2:
        # urllib3 2 enforces Content-Length.
        with pytest.raises(requests.exceptions.ChunkedEncodingError):
            requests.get(peer.url, timeout=5)
        return
    # urllib3 1.26 hands back the short body without complaint.
    r = requests.get(peer.url, timeout=5)
    assert r.headers["Content-Length"] == "500" and r.content == b"x" * 50


def test_refused_on_closed_port():
    with pytest.raises(requests.ConnectionError):
        requests.get(closed_port(), timeout=5)


def test_slow_body_trickles():
    with Peer() as p:
        p.route(None, None, slow("abcdefghij", delay=0.5, pieces=5))
        t0 = time.monotonic()
        assert requests.get(p.url, timeout=5).text == "abcdefghij"
        assert 0.4 < time.monotonic() - t0 < 3


@pytest.mark.parametrize("answer", [endless(interval=5.0), endless(chunked=False)])
def test_endless_stops_promptly(answer):
    threads_before = threading.active_count()
    fds_before = open_fds()
    p = Peer().start()
    p.route(None, None, answer)
    r = requests.get(p.url, stream=True, timeout=0.3)
    if answer.interval:
        with pytest.raises(requests.ConnectionError, match="timed out"):
            r.content  # noqa: B018 (reading the body is the test)
    else:
        it = r.iter_content(65536)
        assert sum(len(next(it)) for _ in range(50)) > 100_000
    # The client is still connected (flooding case) or waiting; stop anyway.
    t0 = time.monotonic()
    p.stop()
    assert time.monotonic() - t0 < 1.0
    r.close()
    assert threading.active_count() == threads_before
    assert open_fds() == fds_before


def test_huge_is_served_quickly(peer):
    size = 50 * 1024 * 1024
    peer.route(None, None, huge(size))
    t0 = time.monotonic()
    r = requests.get(peer.url, stream=True, timeout=10)
    got = 0
    for chunk in r.iter_content(1 << 20):
        got += len(chunk)
        assert chunk.isascii()
    elapsed = time.monotonic() - t0
    print(f"huge({size}) served in {elapsed:.2f}s")
    assert got == size and elapsed < 5
