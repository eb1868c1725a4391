"""Download-and-extract tasks of the real Quennet.dll against the local package server:
extraction, kept files, resume, failures and their codes, cancellation."""
import hashlib
import time
import urllib.request

import pytest

from conftest import TINY, run_task, tree_of
from package_server import running_server, untrusted_ca

OK, BAD_ARGUMENT, BAD_URL, UNREACHABLE, TLS, HTTP_STATUS, DROPPED, STALLED = range(8)
CHECKSUM, CANCELLED, INSECURE_REDIRECT = 11, 15, 16


def completed_once(result, code):
    (complete,) = result.completions
    assert complete["code"] == code, complete
    assert result.one("wait")["code"] == code
    return complete


@pytest.mark.parametrize("archive", ["small.zip", "small.tar.gz"])
@pytest.mark.parametrize("keep", [True, False], ids=["kept", "not-kept"])
def test_extracts_byte_exact(server, served, scratch, archive, keep):
    server.clear_requests()
    download = scratch / "download" if keep else None
    result = run_task(server.http_url(f"/files/{archive}"), download, scratch / "out")
    completed_once(result, OK)
    assert tree_of(scratch / "out") == served.contents
    if keep:
        assert tree_of(download) == {archive: served.bytes_of(archive)}

    size = len(served.bytes_of(archive))
    final = result.of("progress")[-1]
    assert (final["total"], final["downloaded"]) == (size, size)
    assert final["files"] == final["extracted"] == len(served.contents)
    assert result.events.index(final) == result.events.index(result.completions[0]) - 1
    downloaded = [e["downloaded"] for e in result.of("progress")]
    assert downloaded == sorted(downloaded)
    # Never "0 of 0" before the end: a caller would take that for a finished download.
    assert all(e["total"] or e["downloaded"] for e in result.of("progress")[:-1])
    # The index first, with a ranged request for the tail; then the body, guarded by If-Range.
    seen = server.requests()
    assert seen[0]["range"] == "bytes=-65558"
    assert seen[-1]["range"] == "bytes=0-" and seen[-1]["if_range"] == seen[0]["if_range"] or \
        seen[-1]["if_range"]
    assert all(r["if_range"] for r in seen[1:])


def test_package_smaller_than_the_tail_request_takes_one_request(server, served, scratch):
    server.clear_requests()
    result = run_task(server.http_url("/files/tiny.zip"), scratch / "dl", scratch / "out")
    completed_once(result, OK)
    assert tree_of(scratch / "out") == TINY
    assert tree_of(scratch / "dl") == {"tiny.zip": served.bytes_of("tiny.zip")}
    assert [r["range"] for r in server.requests()] == ["bytes=-65558"]


def test_download_only_keeps_the_file_and_extracts_nothing(server, served, scratch):
    result = run_task(server.http_url("/files/small.zip"), scratch / "dl", scratch / "out", flags=1)
    completed_once(result, OK)
    assert tree_of(scratch / "dl") == {"small.zip": served.bytes_of("small.zip")}
    assert not (scratch / "out").exists()


# Only a response longer than drop_after is cut: the tail requests are shorter, and so is the
# rest of the package after the cut, so exactly one response (the body) is dropped.
@pytest.mark.parametrize("archive, flags", [("small.tar.gz", 0), ("small.zip", 0), ("small.zip", 1)])
def test_drop_then_restart_resumes_with_a_range(server, served, scratch, archive, flags):
    server.clear_requests()
    url = server.http_url(f"/files/{archive}?drop_after=900000")
    result = run_task(url, scratch / "dl", scratch / "out", attempts=1, flags=flags, restarts=1)
    first, second = result.completions
    assert first["code"] == DROPPED and "900000" in first["text"], first
    assert second["code"] == OK
    assert result.one("restart")["started"] == 1
    assert first["thread"] == second["thread"]
    if flags == 0:
        assert tree_of(scratch / "out") == served.contents
    assert tree_of(scratch / "dl") == {archive: served.bytes_of(archive)}
    seen = server.requests()
    assert seen[-2]["range"] in (None, "bytes=0-")
    assert seen[-1]["range"] == "bytes=900000-", seen
    assert seen[-1]["if_range"].startswith('"file-')


def test_drop_is_retried_within_the_attempts(server, served, scratch):
    server.clear_requests()
    result = run_task(server.http_url("/files/small.tar.gz?drop_after=800000"), None,
                      scratch / "out", attempts=2)
    completed_once(result, OK)
    assert tree_of(scratch / "out") == served.contents
    assert server.requests()[-1]["range"] == "bytes=800000-"


def test_changed_package_starts_over(server, scratch):
    server.clear_requests()
    url = server.http_url("/files/not-an-archive.bin?drop_after=40000&times=1&change=1")
    result = run_task(url, scratch / "dl", None, flags=1, restarts=1)
    assert [c["code"] for c in result.completions] == [DROPPED, OK]
    resumed = server.requests()[-1]
    assert resumed["range"] == "bytes=40000-" and resumed["if_range"]
    # The server answered the stale If-Range with the whole new file: that is what is kept.
    with urllib.request.urlopen(url) as reply:
        changed = reply.read()
    assert (scratch / "dl" / "not-an-archive.bin").read_bytes() == changed
    assert not (scratch / "dl" / "not-an-archive.bin.part").exists()


@pytest.mark.parametrize("query, flags", [
    ("corrupt_at=900000", 0),        # inside random.bin: its CRC-32 fails
    ("sha256=bad", 1),               # the package's SHA-256 fails
    ("sha256=bad", 0),
])
def test_corrupt_package_fails_and_leaves_no_final_file(server, scratch, query, flags):
    result = run_task(server.http_url(f"/files/small.zip?{query}"), scratch / "dl", scratch / "out",
                      flags=flags)
    completed_once(result, CHECKSUM)
    assert list((scratch / "dl").iterdir()) == []
    if query.startswith("corrupt_at"):
        assert not (scratch / "out" / "data" / "random.bin").exists()
        assert all(".tmp" not in p.name for p in (scratch / "out").rglob("*"))


@pytest.mark.parametrize("path, attempts, code, text, requests", [
    ("/files/small.zip?status=404", 3, HTTP_STATUS, "404", 1),
    ("/files/small.zip?status=503", 2, HTTP_STATUS, "503", 2),   # 5xx is retried
    ("/files/missing.zip", 1, HTTP_STATUS, "404", 1),
    ("/files/not-an-archive.bin", 1, 13, "", None),            # neither ZIP nor tar.gz
])
def test_failure_codes(server, scratch, path, attempts, code, text, requests):
    server.clear_requests()
    url = server.http_url(path)
    result = run_task(url, None, scratch / "out", attempts=attempts)
    complete = completed_once(result, code)
    assert text in complete["text"]
    if requests is not None:
        assert len(server.requests()) == requests
        assert url in complete["text"]


def test_unreachable_port(scratch):
    result = run_task("http://localhost:9/package.zip", None, scratch / "out", attempts=2)
    complete = completed_once(result, UNREACHABLE)
    assert "localhost:9" in complete["text"]


def test_stall_is_reported_after_the_test_timeout(server, scratch):
    started = time.monotonic()
    result = run_task(server.http_url("/files/small.zip?stall_after=1000"), None, scratch / "out",
                      env={"QUENNET_TEST_STALL_TIMEOUT_MS": "1500"})
    completed_once(result, STALLED)
    assert time.monotonic() - started < 30


def test_redirect_from_https_to_http_is_refused(server, scratch):
    target = server.http_url("/files/small.zip").replace(":", "%3A").replace("/", "%2F")
    result = run_task(server.https_url(f"/files/small.zip?redirect={target}"), None, scratch / "out")
    complete = completed_once(result, INSECURE_REDIRECT)
    assert "http://localhost" in complete["text"]
    assert not (scratch / "out").exists() or tree_of(scratch / "out") == {}


def test_https_with_the_trusted_ca(server, served, scratch):
    result = run_task(server.https_url("/files/small.tar.gz"), scratch / "dl", scratch / "out")
    completed_once(result, OK)
    assert tree_of(scratch / "out") == served.contents


def test_https_with_an_untrusted_certificate_fails(served, scratch):
    with running_server(files_dir=served.folder, ca=untrusted_ca()) as untrusted:
        result = run_task(untrusted.https_url("/files/small.zip"), None, scratch / "out", attempts=2)
    completed_once(result, TLS)


def test_release_during_download_returns_promptly(server, scratch):
    result = run_task(server.http_url("/packages/155M"), None, scratch / "out",
                      release_at=8_000_000, linger_ms=1500)
    (complete,) = result.completions
    assert complete["code"] == CANCELLED
    released = result.one("released")
    # The cancellation was reported before Release returned, and nothing came after it.
    assert result.events.index(complete) < result.events.index(released)
    assert released["ms"] < 3000, released
    assert result.events[-1]["event"] == "alive"


@pytest.mark.parametrize("url, download, extract, flags, callback, code", [
    (None, None, "out", 0, True, BAD_ARGUMENT),
    ("http://localhost/x.zip", None, None, 0, True, BAD_ARGUMENT),
    ("http://localhost/x.zip", None, "out", 0, False, BAD_ARGUMENT),
    ("http://localhost/x.zip", None, "out", 1, True, BAD_ARGUMENT),
    ("ftp://localhost/x.zip", None, "out", 0, True, BAD_URL),
    ("not a url", "dl", "out", 0, True, BAD_URL),
], ids=["null-url", "null-extract", "null-callback", "download-only-without-folder", "ftp",
        "garbage"])
def test_unusable_arguments(scratch, url, download, extract, flags, callback, code):
    result = run_task(url, download and scratch / download, extract and scratch / extract,
                      flags=flags, null_callback=0 if callback else 1)
    assert result.one("wait")["code"] == code
    assert [c["code"] for c in result.completions] == ([code] if callback else [])
    assert not result.of("progress")
    assert list(scratch.iterdir()) == []


def test_restart_after_failure_reports_to_the_same_callback(scratch):
    result = run_task("ftp://localhost/x.zip", None, scratch / "out", restarts=2)
    assert [c["code"] for c in result.completions] == [BAD_URL] * 3
    assert result.one("wait")["code"] == BAD_URL


def test_release_while_the_server_is_silent_waits_no_longer_than_the_stall_limit(server, scratch):
    """The network thread is blocked in a read. Closing its request ends that read on Windows;
    Wine 8 finishes the read first, so there Release takes up to the stall limit."""
    result = run_task(server.http_url("/files/not-an-archive.bin?stall_after=50000"), scratch / "dl",
                      None, flags=1, release_after_ms=1000, linger_ms=500,
                      env={"QUENNET_TEST_STALL_TIMEOUT_MS": "2500"})
    assert result.one("complete")["code"] == CANCELLED
    assert result.one("released")["ms"] < 2500 + 1500
