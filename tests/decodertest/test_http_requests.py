"""The console's two HTTP request routines, run by a test program against the double: the
fixed request as the factory receives it, the outcome lines, and the asynchronous completion
that ends the sending thread's message loop."""
import json

import pytest

from tremath_harness import PAUSE_PROMPT, WITHOUT_FACTORIES, console_bytes, driver_folder

SPACES = " " * 35
EXPECTED_BODY = (
    '{"Cmd":"GetPalomineMulAppUpgradeStrategy","Version":1,' + SPACES +
    '"BackString":"WinHttpRequestPost","UserID":"10482265",' + SPACES +
    '"MsgBody":{"PalomineVersion":31111,"OsType":"10.0.19041.1466",'
    '"Seq":"3f9a6c2e8b7d41f09e5a2c7b4d8e1f60",' + SPACES +
    '"Cpu":"","PlatForm":"weiduan",' + SPACES +
    '"GameInfo":[{"AppVersion":31111,"AppID":1000,"ExpectMinVersion":0,"Tag":""}]}}'
).encode("ascii")


@pytest.fixture
def folder(tmp_path):
    return driver_folder(tmp_path / "driver")


def narrow(text: str) -> bytes:
    return text.replace("\n", "\r\n").encode("ascii")


def test_factory_receives_the_fixed_request_byte_for_byte(folder):
    result = folder.run("sync", script="request-success 200 {}\n")
    [created] = result.events("CreateSimpleHttpRequest")
    _, url, verb, agent, headers, value, body_hex, length = created
    assert url.startswith("https://") and url.endswith("/PalomineMultipleAppUpgrade")
    host = url[len("https://"):-len("/PalomineMultipleAppUpgrade")]
    assert host and ":" not in host and "/" not in host  # a host name, no port
    assert (verb, agent, value) == ("POST", "Palomine", "10000")
    assert headers.startswith("Referer: https://") and headers.endswith("\r\n")
    assert headers.count("\r\n") == 1 and "/" not in headers[len("Referer: https://"):]
    body = bytes.fromhex(body_hex)
    assert body == EXPECTED_BODY
    assert int(length) == len(EXPECTED_BODY) == len(body)


def test_fixed_body_is_the_upgrade_query_with_its_members_in_order():
    # Independent of the byte check above: what a JSON reader makes of the same text.
    assert EXPECTED_BODY.count(b" ") == 4 * 35 and EXPECTED_BODY.endswith(b"}]}}")
    pairs = json.loads(EXPECTED_BODY, object_pairs_hook=lambda p: p)
    assert [k for k, _ in pairs] == ["Cmd", "Version", "BackString", "UserID", "MsgBody"]
    body = dict(pairs)
    assert (body["Cmd"], body["Version"], body["BackString"], body["UserID"]) == (
        "GetPalomineMulAppUpgradeStrategy", 1, "WinHttpRequestPost", "10482265")
    message = dict(body["MsgBody"])
    assert [k for k, _ in body["MsgBody"]] == ["PalomineVersion", "OsType", "Seq", "Cpu",
                                                "PlatForm", "GameInfo"]
    assert message["PalomineVersion"] == 31111 and message["OsType"] == "10.0.19041.1466"
    assert len(message["Seq"]) == 32 and set(message["Seq"]) <= set("0123456789abcdef")
    assert message["Cpu"] == "" and message["PlatForm"] == "weiduan"
    [game] = message["GameInfo"]
    assert game == [("AppVersion", 31111), ("AppID", 1000), ("ExpectMinVersion", 0), ("Tag", "")]


@pytest.mark.parametrize("code, response", [("200", '{"Result":0}'), ("404", ""),
                                            ("0", "not found")])
def test_sync_success_prints_the_code_and_response_whatever_the_code(folder, code, response):
    result = folder.run("sync", script=f"request-success {code} {response}\n")
    assert result.stdout == (console_bytes("请求成功！\n") +
                             narrow(f"Response Code:{code}\nResponse:{response}\n"))
    assert result.names() == ["Loaded", "CreateSimpleHttpRequest", "Send", "IsSuccess",
                              "GetResponse", "Release request", "Unloaded"]
    assert result.events("Send") == [["Send", "no callback"]]
    assert result.events("IsSuccess") == [["IsSuccess", "after end"]]
    assert result.events("GetResponse") == [["GetResponse", "0"]]
    assert result.exit_code == 0


@pytest.mark.parametrize("code, text", [("12029", "无法连接到服务器"), ("4294967295", "")])
def test_sync_failure_prints_three_wide_lines(folder, code, text):
    result = folder.run("sync", script=f"request-delay 200\nrequest-failure {code} {text}\n")
    assert result.stdout == console_bytes(f"请求失败！\nError Code:{code}\nError Text:{text}\n")
    assert result.events("IsSuccess") == [["IsSuccess", "after end"]]


def test_null_texts_from_the_library_print_as_empty(folder):
    result = folder.run("sync", "sync", script="request-null-texts\nrequest-failure 9\n")
    once = console_bytes("请求失败！\nError Code:9\nError Text:\n")
    assert result.stdout == once * 2
    result = folder.run("sync", script="request-null-texts\nrequest-success 200\n")
    assert result.stdout == console_bytes("请求成功！\n") + narrow("Response Code:200\nResponse:\n")


def test_each_run_sends_the_same_request(folder):
    result = folder.run("sync", "async", "sync", stdin="\n",
                        script="request-success 200 ok\n")
    created = result.events("CreateSimpleHttpRequest")
    assert len(created) == 3 and created[0] == created[1] == created[2]


@pytest.mark.parametrize("script, lines", [
    ("request-success 201 done\n",
     console_bytes("请求成功！\n") + narrow("Response Code:201\nResponse:done\n")),
    ("request-failure 7 超时\n", console_bytes("请求失败！\nError Code:7\nError Text:超时\n")),
])
def test_async_reports_on_the_sending_thread_pauses_and_ends_the_loop(folder, script, lines):
    result = folder.run("async", stdin="\n", script="request-delay 300\n" + script, timeout=20)
    assert result.stdout == lines + PAUSE_PROMPT.encode()
    assert result.events("Send") == [["Send", "callback"]]
    assert result.events("OnRequestComplete returned") == [
        ["OnRequestComplete returned", "sending thread", "quit posted"]]
    # The loop ended on that quit message; only then is the request released, while its
    # callback object still exists.
    assert result.names()[-3:] == ["OnRequestComplete returned", "Release request", "Unloaded"]
    assert result.events("Release request") == [["Release request", "callback alive"]]
    assert result.exit_code == 0


def test_sync_does_not_pause(folder):
    result = folder.run("sync", script="request-success 200 ok\n")
    assert PAUSE_PROMPT.encode() not in result.stdout


@pytest.mark.parametrize("routine", ["sync", "async"])
def test_missing_factory_or_object_is_reported_and_nothing_is_called(tmp_path, routine):
    bare = driver_folder(tmp_path / "bare", library=WITHOUT_FACTORIES)
    result = bare.run(routine)
    assert result.stdout == console_bytes("Quennet.dll中找不到CreateSimpleHttpRequest！\n")
    assert result.exit_code == 0

    empty = driver_folder(tmp_path / "empty")
    result = empty.run(routine, script="request null\n")
    assert result.stdout == console_bytes("CreateSimpleHttpRequest未返回请求对象！\n")
    assert result.names() == ["Loaded", "CreateSimpleHttpRequest", "Unloaded"]
    assert result.exit_code == 0
