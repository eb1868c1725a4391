"""The simple HTTP request of the real Quennet.dll: synchronous and asynchronous sends, where
the completion runs, and what failures look like."""
import json

import pytest

from conftest import run_driver
from package_server import UPGRADE_HOST

BODY = '{"Cmd":"GetPalomineMulAppUpgradeStrategy","UserID":"10482265","MsgBody":{"Seq":"0123456789abcdef0123456789abcdef"}}'


def request(url, verb="POST", body=BODY, env=None, **options):
    extra = [f"{key}={value}" for key, value in options.items()]
    result = run_driver("request", url, verb, body, *extra, timeout=60, env=env)
    assert result.exit_code == 0, (result.events, result.stderr)
    assert result.events[-1]["event"] == "alive"
    return result


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_post_reaches_the_server_and_returns_its_reply(server, mode):
    server.clear_requests()
    result = request(server.http_url("/PalomineMultipleAppUpgrade"), **({"async": 1} if mode == "async" else {}))
    done = result.one("request_complete")
    assert done["success"] and done["error_code"] == 0 and done["error_text"] == ""
    assert done["response_code"] == 200
    reply = json.loads(done["body"])
    assert reply["Seq"] == "0123456789abcdef0123456789abcdef" and reply["UserID"] == "10482265"
    assert "HTTP/1.1 200" in done["headers"] and done["other_part"] == ""
    assert done["on_sending_thread"]
    (seen,) = server.requests()
    assert seen["method"] == "POST"
    if mode == "async":
        sent = result.one("sent")
        assert sent["result"] == 1 and sent["again"] == 0   # one request at a time
        assert result.one("calls")["count"] == 1


def test_async_send_returns_before_the_reply(server):
    # The server holds the answer back; Send must not wait for it.
    result = request(server.http_url("/files/small.zip?stall_after=0"), verb="GET", body="-none",
                     timeout_ms=1500, **{"async": 1})
    assert result.one("sent")["ms"] < 1000
    done = result.one("request_complete")
    assert not done["success"] and done["error_code"] == 12002   # ERROR_WINHTTP_TIMEOUT
    assert done["on_sending_thread"]


@pytest.mark.parametrize("path, code, text", [
    ("/PalomineMultipleAppUpgrade", 400, "400"),    # the echo refuses a body that is not JSON
    ("/files/missing", 404, "404"),
])
def test_error_status_is_a_failure_with_the_status(server, path, code, text):
    result = request(server.http_url(path), body="not json")
    done = result.one("request_complete")
    assert not done["success"]
    assert done["error_code"] == code and done["response_code"] == code
    assert text in done["error_text"] and server.http_url(path) in done["error_text"]


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_unreachable_server(mode):
    result = request("http://localhost:9/PalomineMultipleAppUpgrade",
                     **({"async": 1} if mode == "async" else {}))
    done = result.one("request_complete")
    assert not done["success"] and done["error_code"] == 12029   # ERROR_WINHTTP_CANNOT_CONNECT
    assert done["response_code"] == 0 and done["body"] == ""
    assert "localhost:9" in done["error_text"]


def test_https_request_with_the_trusted_ca(server):
    done = request(server.https_url("/PalomineMultipleAppUpgrade")).one("request_complete")
    assert done["success"] and json.loads(done["body"])["UserID"] == "10482265"


@pytest.mark.parametrize("scheme", ["http", "https"])
def test_the_proxy_configuration_is_honoured(server, scheme):
    """The host name resolves nowhere: only the proxy (here from http_proxy, which Wine's
    WinHTTP default configuration reads) can reach it; https goes through CONNECT."""
    server.clear_requests()
    url = f"{scheme}://{UPGRADE_HOST}/PalomineMultipleAppUpgrade"
    done = request(url, env={"http_proxy": server.proxy}).one("request_complete")
    assert done["success"], done
    assert json.loads(done["body"])["UserID"] == "10482265"
    methods = [r["method"] for r in server.requests()]
    assert methods == (["CONNECT", "POST"] if scheme == "https" else ["POST"])
