"""How Quennet.dll treats what real servers do: compressed answers, an outage ridden out over
the retry budget, schemes it cannot fetch, and a kept package continued by another process."""
import gzip
import re
import time
import urllib.request

import pytest

from conftest import DRIVER, DLL, package_contents, run_task, tree_of
from winproc import run, winpath

OK, BAD_URL, DROPPED, HTTP_STATUS, UNSUPPORTED = 0, 2, 6, 5, 13


def completed_once(result, code):
    (complete,) = result.completions
    assert complete["code"] == code, complete
    return complete


def served_encoded(url, name, original: bytes):
    """What the server really sends for URL: compressed whatever the client accepts."""
    request = urllib.request.Request(url, headers={"Accept-Encoding": "identity"})
    with urllib.request.urlopen(request, timeout=30) as reply:
        assert reply.headers["Content-Encoding"] == name and "Accept-Ranges" not in reply.headers
        assert gzip.decompress(reply.read()) == original


def check_progress_is_honest(result):
    """No speed without a counted byte; within an attempt the byte count never falls."""
    for report in result.of("progress"):
        assert report["speed"] == 0 or report["downloaded"] > 0, report


def resume_record(folder, name):
    lines = (folder / f"{name}.resume").read_text(encoding="utf-8").splitlines()
    assert lines[0] == "Quennet resume 1", lines
    return dict(line.split("=", 1) for line in lines[1:])


# query, what the task ends with, the text it names, the requests made (None: not counted)
ENCODINGS = [
    ("encoding=gzip", OK, None, None),
    ("encoding=x-gzip", OK, None, None),
    # A compressed body cut halfway is fetched again whole: its ranges are not the package's.
    ("encoding=gzip&drop_after=200000&times=1", OK, None, 2),
    ("encoding=br", UNSUPPORTED, "br", 1),
    ("encoding=deflate", UNSUPPORTED, "deflate", 1),
]


@pytest.mark.parametrize("archive", ["small.zip", "small.tar.gz"])
@pytest.mark.parametrize("query, code, named, requests", ENCODINGS,
                         ids=[q for q, *_ in ENCODINGS])
def test_compressed_answers_are_decoded_or_refused_by_name(server, served, scratch, archive,
                                                           query, code, named, requests):
    url = server.http_url(f"/files/{archive}?{query}")
    if "drop_after" not in query:
        served_encoded(url, query.split("=")[1], served.bytes_of(archive))
    server.clear_requests()
    result = run_task(url, scratch / "dl", scratch / "out", attempts=3)
    complete = completed_once(result, code)
    seen = server.requests()
    assert seen and all(r["accept_encoding"] == "identity" for r in seen), seen
    if requests is not None:
        assert len(seen) == requests, seen
    assert all(r["range"] in (None, "bytes=-65558") for r in seen), seen  # never a range of it
    check_progress_is_honest(result)
    if code == OK:
        assert tree_of(scratch / "out") == served.contents
        # The kept file is the package itself, not what travelled.
        assert tree_of(scratch / "dl") == {archive: served.bytes_of(archive)}
        final = result.of("progress")[-1]
        size = len(served.bytes_of(archive))
        assert (final["total"], final["downloaded"]) == (size, size), final
    else:
        assert named in complete["text"] and url in complete["text"], complete
        assert tree_of(scratch / "dl") == {} and tree_of(scratch / "out") == {}


# query, attempts, budget (ms), failed tries, outcome
OUTAGES = [
    ("status=503", 5, 2000, 5, HTTP_STATUS),
    ("status=503", 3, 3000, 3, HTTP_STATUS),
    ("status=503&times=3", 5, 2000, 3, OK),      # the server comes back within the budget
    ("drop_after=0", 4, 1400, 4, DROPPED),
]


@pytest.mark.parametrize("query, attempts, budget, failures, code", OUTAGES,
                         ids=[f"{q}-{a}" for q, a, *_ in OUTAGES])
def test_tries_are_spread_over_the_budget_with_doubling_pauses(server, served, scratch, query,
                                                               attempts, budget, failures, code):
    server.clear_requests()
    result = run_task(server.http_url(f"/files/small.zip?{query}"), None, scratch / "out",
                      attempts=attempts, env={"QUENNET_TEST_RETRY_BUDGET_MS": str(budget)})
    completed_once(result, code)
    seen = server.requests()
    # Every failed try is the tail request again; after a recovery the download goes on.
    assert [r["range"] for r in seen[:failures]] == ["bytes=-65558"] * failures, seen
    assert len(seen) == failures if code != OK else len(seen) > failures, seen
    times = [r["at"] for r in seen[:failures + 1]]
    gaps = [later - earlier for earlier, later in zip(times, times[1:])]
    # The pauses double (the time a failing try takes comes off the ones after it) and, when
    # every try is spent, the last try starts when the budget is over.
    shares = 2 ** (attempts - 1) - 1
    expected = [budget / 1000 * 2 ** k / shares for k in range(len(gaps))]
    for gap, wanted in zip(gaps, expected):
        assert wanted * 0.85 - 0.03 <= gap <= wanted * 1.15 + 0.1, (gaps, expected)
    if code != OK:
        assert budget / 1000 <= times[-1] - times[0] <= budget / 1000 + 0.3, gaps
    else:
        assert tree_of(scratch / "out") == served.contents


def test_an_unreachable_server_is_tried_for_the_budget(scratch):
    started = time.monotonic()
    result = run_task("http://localhost:9/package.zip", None, scratch / "out", attempts=5,
                      env={"QUENNET_TEST_RETRY_BUDGET_MS": "3000"})
    elapsed = time.monotonic() - started
    assert "localhost:9" in completed_once(result, 3)["text"]
    assert 3.0 <= elapsed < 3.0 + 8, elapsed      # the rest: starting Wine and the driver


@pytest.mark.parametrize("url", ["ftp://localhost/x.zip", "file:///c:/x.zip",
                                 "gopher://localhost/x.zip"])
def test_unsupported_schemes_fail_at_once(scratch, url):
    result = run_task(url, None, scratch / "out", attempts=5,
                      env={"QUENNET_TEST_RETRY_BUDGET_MS": "60000"})
    assert url in completed_once(result, BAD_URL)["text"]
    assert not result.of("progress")


def test_a_redirect_to_another_scheme_is_refused_without_retrying(server, scratch):
    server.clear_requests()
    result = run_task(server.http_url("/files/small.zip?redirect=ftp%3A%2F%2Flocalhost%2Fx.zip"),
                      None, scratch / "out", attempts=5,
                      env={"QUENNET_TEST_RETRY_BUDGET_MS": "60000"})
    assert "ftp://localhost/x.zip" in completed_once(result, BAD_URL)["text"]
    assert len(server.requests()) == 1


@pytest.mark.parametrize("archive, files", [("small.zip", len(package_contents(7))),
                                            ("small.tar.gz", 0)])
def test_a_failed_process_is_continued_by_the_next_one(server, served, scratch, archive, files):
    """The first process fails for good (one attempt, the connection cut); a second process with
    the same URL and folders asks only for the rest."""
    url = server.http_url(f"/files/{archive}?drop_after=900000")
    first = run_task(url, scratch / "dl", scratch / "out", attempts=1)
    assert "900000" in completed_once(first, DROPPED)["text"]
    record = resume_record(scratch / "dl", archive)
    size = len(served.bytes_of(archive))
    assert (record["url"], int(record["size"])) == (url, size), record
    assert int(record["files"]) == files       # a ZIP's count came with its tail
    assert (scratch / "dl" / f"{archive}.part").stat().st_size == 900000

    server.clear_requests()
    second = run_task(url, scratch / "dl", scratch / "out", attempts=1)
    completed_once(second, OK)
    (resumed,) = server.requests()
    assert resumed["range"] == "bytes=900000-" and resumed["if_range"] == record["validator"]
    assert resumed["sent"] == size - 900000
    assert tree_of(scratch / "out") == served.contents
    assert tree_of(scratch / "dl") == {archive: served.bytes_of(archive)}  # no .part, no record
    reports = second.of("progress")
    check_progress_is_honest(second)
    # The file total is shown from the first report of the resumed run when it was known.
    if files:
        assert all(r["files"] == files for r in reports), reports
    assert reports[-1]["downloaded"] == reports[-1]["total"] == size


def test_a_killed_process_is_continued_by_the_next_one(server, served, scratch):
    """The first process is ended while the server holds its body back; what it kept, and the
    record it wrote as the body began, let a second process continue. (Download only: one
    request per process, whatever the extractor would ask of the tail.)"""
    archive = "small.zip"
    url = server.http_url(f"/files/{archive}?stall_after=600000&times=1")
    killed = run(DRIVER, winpath(DLL), "task", url, winpath(scratch / "dl"), "-null", "1", "1",
                 timeout=8, env={"QUENNET_TEST_STALL_TIMEOUT_MS": "60000"})
    assert killed.timed_out, killed
    record = resume_record(scratch / "dl", archive)
    kept = (scratch / "dl" / f"{archive}.part").stat().st_size
    assert 0 < kept <= 600000 and record["url"] == url, (kept, record)

    server.clear_requests()
    second = run_task(url, scratch / "dl", None, attempts=1, flags=1)
    completed_once(second, OK)
    (resumed,) = server.requests()
    assert resumed["range"] == f"bytes={kept}-" and resumed["if_range"] == record["validator"]
    assert resumed["sent"] == len(served.bytes_of(archive)) - kept
    assert tree_of(scratch / "dl") == {archive: served.bytes_of(archive)}


# How the record is altered between the two processes, and whether the second one still asks
# for the rest (the server then decides) or starts from the tail.
ALTERED_RECORDS = [
    ("package-changed", lambda text, url: text.replace("validator=", 'validator="old-'), True),
    ("another-url", lambda text, url: text.replace(f"url={url}", f"url={url}&other=1"), False),
    ("damaged", lambda text, url: text[:len(text) // 2], False),
    # The kept file is longer than the package the record names.
    ("shorter-than-the-kept-file", lambda text, url: re.sub(r"size=\d+", "size=1000", text), False),
]


@pytest.mark.parametrize("name, alter, asks_for_the_rest", ALTERED_RECORDS,
                         ids=[name for name, *_ in ALTERED_RECORDS])
def test_a_record_that_no_longer_fits_starts_over(server, served, scratch, name, alter,
                                                  asks_for_the_rest):
    archive = "small.zip"
    # The first process only downloads: its one request is the one cut short. Each case has a
    # URL of its own, so that the server's count of requests starts afresh.
    cut = 900000 + len(name)
    url = server.http_url(f"/files/{archive}?drop_after={cut}&times=1")
    completed_once(run_task(url, scratch / "dl", None, attempts=1, flags=1), DROPPED)
    record_file = scratch / "dl" / f"{archive}.resume"
    record_file.write_text(alter(record_file.read_text(encoding="utf-8"), url), encoding="utf-8")

    server.clear_requests()
    completed_once(run_task(url, scratch / "dl", scratch / "out", attempts=1), OK)
    seen = server.requests()
    if asks_for_the_rest:
        assert seen[0]["range"] == f"bytes={cut}-", seen
    else:
        assert seen[0]["range"] == "bytes=-65558", seen           # a fresh start, from the tail
        assert not any(r["range"] == f"bytes={cut}-" for r in seen)
    assert tree_of(scratch / "out") == served.contents
    assert tree_of(scratch / "dl") == {archive: served.bytes_of(archive)}
