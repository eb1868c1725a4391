"""Tremath with the real Quennet.dll beside it, against the local package server: typed URLs
in both modes, a failed first attempt retried, two failures, the built-in HTTPS and 480M
entries on their fixed ports, and the two HTTP routines through the server as proxy."""
import io
import json
import random
import shutil
import tempfile
import urllib.request
import zipfile
import zlib
from pathlib import Path

import pytest

from package_server import running_server, trust_ca_in_prefix, untrusted_ca
from tremath_harness import BIN_DIR, console_bytes, driver_folder, tremath_folder

QUENNET = BIN_DIR / "Quennet.dll"
BUILT_IN_HTTP_PORT, BUILT_IN_HTTPS_PORT = 47080, 47443
SUCCESS, FAILURE = console_bytes("解压成功！\n"), console_bytes("解压失败！\n")
RETRY = console_bytes("第1次重试...\n")
SUMMARY = console_bytes("共消耗")


def package_contents() -> dict:
    rng = random.Random(11)
    return {
        "bin/tool.exe": rng.randbytes(700_000),
        "data/level.txt": b"level=1 enemies=12\r\n" * 5000,
        "data/empty.dat": b"",
        "游戏/存档/进度.txt": "第一关\r\n".encode("utf-8") * 300,
    }


@pytest.fixture(scope="module")
def served():
    folder = Path(tempfile.mkdtemp(prefix="tremath-served."))
    try:
        contents = package_contents()
        with zipfile.ZipFile(folder / "small.zip", "w") as archive:
            for name, data in contents.items():
                method = zipfile.ZIP_STORED if name.endswith(".exe") else zipfile.ZIP_DEFLATED
                archive.writestr(name, data, compress_type=method)
        yield folder, contents
    finally:
        shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture(scope="module")
def server(served):
    trust_ca_in_prefix()
    with running_server(files_dir=served[0]) as started:
        yield started


@pytest.fixture
def scratch():
    folder = Path(tempfile.mkdtemp(prefix="tremath-e2e."))
    try:
        yield folder
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def extracted_files(root: Path) -> dict:
    return {path.relative_to(root).as_posix(): path.read_bytes()
            for path in root.rglob("*") if path.is_file()}


@pytest.mark.parametrize("mode", [0, 1], ids=["not-kept", "kept"])
def test_typed_url_extracts_the_package_byte_for_byte(server, served, scratch, mode):
    folder = tremath_folder(scratch, library=QUENNET)
    url = server.http_url("/files/small.zip")
    result = folder.run(stdin=f"5\n{url}\n{mode}\n\n", timeout=120)
    assert result.exit_code == 0
    assert SUCCESS in result.stdout and SUMMARY in result.stdout and FAILURE not in result.stdout
    games = scratch / "QuennetTest" / "游戏"
    assert extracted_files(games / "5") == served[1]
    kept = sorted(path.name for path in games.iterdir() if path.is_file())
    assert kept == (["small.zip"] if mode else [])
    if mode:
        assert (games / "small.zip").read_bytes() == (served[0] / "small.zip").read_bytes()


# query of the package URL, what the console prints in order, (successes, failures) printed
FAILURES = [
    # The library tries each step 5 times: 5 dropped requests fail the first attempt, and
    # Tremath's one retry then succeeds.
    ("drop_after=0&times=5", [FAILURE, RETRY, SUCCESS], (1, 1)),
    ("drop_after=0", [FAILURE, RETRY, FAILURE], (0, 2)),
]


@pytest.mark.parametrize("query,printed,counts", FAILURES, ids=["retried", "failed-twice"])
def test_failed_attempts_are_retried_once_then_summarised(server, served, scratch, query,
                                                          printed, counts):
    folder = tremath_folder(scratch, library=QUENNET)
    url = server.http_url(f"/files/small.zip?{query}")
    # The library keeps trying for a minute after losing the server; here for two seconds.
    result = folder.run(stdin=f"5\n{url}\n0\n\n", timeout=180,
                        env={"QUENNET_TEST_RETRY_BUDGET_MS": "2000"})
    assert result.exit_code == 0
    outcome = result.stdout.split(console_bytes("安装目录："))[1]
    position = 0
    for text in printed:                       # in this order
        position = outcome.find(text, position)
        assert position >= 0, (text, outcome)
        position += len(text)
    assert outcome.count(RETRY) == 1 and SUMMARY in outcome[position:]
    assert (outcome.count(SUCCESS), outcome.count(FAILURE)) == counts
    extract = scratch / "QuennetTest" / "游戏" / "5"
    assert (extract.is_dir() and extracted_files(extract) == served[1]) == (counts[0] == 1)


@pytest.fixture(scope="module")
def built_in_server():
    """The server on the ports the menu's built-in URLs name."""
    trust_ca_in_prefix()
    with running_server(http_port=BUILT_IN_HTTP_PORT, https_port=BUILT_IN_HTTPS_PORT) as started:
        yield started


def check_against_package(server, name, extract: Path):
    """Every entry of the served package is on disk with its size and CRC-32."""
    with urllib.request.urlopen(server.http_url(f"/packages/{name}"), timeout=120) as reply:
        archive = zipfile.ZipFile(io.BytesIO(reply.read()))
    for info in archive.infolist():
        path = extract / info.filename
        if info.is_dir():
            assert path.is_dir(), info.filename
            continue
        data = path.read_bytes()
        assert (len(data), zlib.crc32(data)) == (info.file_size, info.CRC), info.filename


@pytest.mark.parametrize("choice,name", [
    pytest.param(0, "155M", id="155M-over-https"),
    pytest.param(2, "480M", id="480M"),
])
def test_built_in_entry_completes_with_the_summary(built_in_server, scratch, choice, name):
    folder = tremath_folder(scratch, library=QUENNET)
    result = folder.run(stdin=f"{choice}\n0\n\n", timeout=900)
    assert result.exit_code == 0
    assert SUCCESS in result.stdout and SUMMARY in result.stdout, result.stdout[-400:]
    requests = [r for r in built_in_server.requests() if r["path"] == f"/packages/{name}"]
    assert requests and all(r["tls"] == (choice == 0) for r in requests)
    check_against_package(built_in_server, name, scratch / "QuennetTest" / "游戏" / str(choice))
    # The fixture removes what was extracted (the scratch folder) whatever happened.


def narrow(text: str) -> bytes:
    return text.replace("\n", "\r\n").encode("ascii")


@pytest.mark.parametrize("routine", ["sync", "async"])
def test_http_routines_reach_the_upgrade_service_through_the_proxy(server, scratch, routine):
    folder = driver_folder(scratch, library=QUENNET)
    server.clear_requests()
    result = folder.run(routine, stdin="\n", timeout=60, env={"http_proxy": server.proxy})
    assert result.exit_code == 0
    [post] = [r for r in server.requests() if r["method"] == "POST"]
    assert post["tls"] and post["host"] == "upgrade.palomine.example"
    seq = json.loads(post["body"])["MsgBody"]["Seq"]
    reply = f'{{"Result": 0, "Seq": "{seq}", "UserID": "10482265"}}'
    assert result.stdout.startswith(console_bytes("请求成功！\n") +
                                    narrow(f"Response Code:200\nResponse:{reply}\n"))


def test_http_routine_reports_a_certificate_it_cannot_trust(scratch):
    folder = driver_folder(scratch, library=QUENNET)
    with running_server(ca=untrusted_ca()) as stranger:
        result = folder.run("sync", timeout=60, env={"http_proxy": stranger.proxy})
        assert not [r for r in stranger.requests() if r["method"] == "POST"]
    lines = result.stdout.split(b"\r\n")
    assert lines[0] == console_bytes("请求失败！")
    assert lines[1].startswith(console_bytes("Error Code:")) and int(lines[1][11:]) > 12000
    assert lines[2].startswith(console_bytes("Error Text:")) and len(lines[2]) > 11
