"""Ranges and If-Range, every fault, /files, the upgrade echo, the request log, HTTPS and the
CONNECT tunnel, and what happens on a taken port or a stop signal."""
import hashlib
import json
import signal
import socket
import ssl
import subprocess
import time
from email.utils import formatdate

import pytest

from conftest import connect, fetch
from package_server import UPGRADE_HOST, running_server, server_command, untrusted_ca

PACKAGE = "/packages/155M"


@pytest.fixture(scope="module")
def package(server):
    status, headers, body = fetch(server, PACKAGE)
    assert status == 200
    return headers, body


@pytest.fixture(scope="module")
def served_file(files_dir):
    data = bytes(range(256)) * 4000 + "尾".encode()
    (files_dir / "sub").mkdir()
    (files_dir / "sub" / "archive.zip").write_bytes(data)
    (files_dir / "sub" / "next.zip").write_bytes(data)
    (files_dir / "sub" / "next.zip.changed").write_bytes(data[::-1])
    (files_dir.parent / f"{files_dir.name}-outside.txt").write_bytes(b"secret")
    yield "/files/sub/archive.zip", data
    (files_dir.parent / f"{files_dir.name}-outside.txt").unlink()


# Range header, If-Range ("etag", "date", "old-etag", "old-date" or None), expected status, slice
RANGES = [
    ("bytes=0-99", None, 206, slice(0, 100)),
    ("bytes=1000-", None, 206, slice(1000, None)),
    ("bytes=-500", None, 206, slice(-500, None)),
    ("bytes=100-99999999999", None, 206, slice(100, None)),
    ("bytes=999999999999-", None, 416, None),
    ("bytes=-0", None, 416, None),
    ("bytes=0-1,5-6", None, 200, slice(None)),          # several ranges: the whole body
    ("items=0-5", None, 200, slice(None)),
    ("bytes=10-19", "etag", 206, slice(10, 20)),
    ("bytes=10-19", "date", 206, slice(10, 20)),
    ("bytes=10-19", "old-etag", 200, slice(None)),
    ("bytes=10-19", "old-date", 200, slice(None)),
]


@pytest.mark.parametrize("path_kind", ["package", "file"])
@pytest.mark.parametrize("range_header,if_range,status,expected", RANGES)
def test_ranges_and_if_range(server, package, served_file, path_kind, range_header, if_range,
                             status, expected):
    if path_kind == "package":
        path, (headers, body) = PACKAGE, package
    else:
        path, body = served_file
        headers = fetch(server, path, method="HEAD")[1]
    request = {"Range": range_header}
    if if_range:
        request["If-Range"] = {"etag": headers["ETag"], "date": headers["Last-Modified"],
                               "old-etag": '"something-else"',
                               "old-date": formatdate(0, usegmt=True)}[if_range]
    got_status, got_headers, got = fetch(server, path, request)
    assert got_status == status
    assert got_headers["Accept-Ranges"] == "bytes" and got_headers["ETag"] == headers["ETag"]
    if status == 416:
        assert got_headers["Content-Range"] == f"bytes */{len(body)}" and got == b""
        return
    assert got == body[expected] and int(got_headers["Content-Length"]) == len(got)
    if status == 206:
        first = expected.start % len(body) if expected.start is not None else 0
        assert got_headers["Content-Range"] == f"bytes {first}-{first + len(got) - 1}/{len(body)}"


def test_head_matches_get_without_a_body(server, package, served_file):
    for path, body in ((PACKAGE, package[1]), served_file):
        status, headers, got = fetch(server, path, method="HEAD")
        assert status == 200 and got == b"" and int(headers["Content-Length"]) == len(body)
        assert headers["ETag"].startswith('"') and headers["Last-Modified"].endswith("GMT")
    assert fetch(server, served_file[0], method="HEAD")[1]["X-Checksum-SHA256"] == \
        hashlib.sha256(served_file[1]).hexdigest()


def _raw_get(server, path, timeout=5.0):
    """(status line, headers, body bytes received, how it ended) over a plain socket, to see
    cut-short and stalled bodies as a client does."""
    with socket.create_connection(("127.0.0.1", server.http_port), timeout=timeout) as sock:
        sock.sendall(f"GET {path} HTTP/1.1\r\nHost: localhost\r\n\r\n".encode())
        data, ending, length, head_end = bytearray(), "complete", None, None
        while length is None or len(data) - head_end < length:
            try:
                piece = sock.recv(1 << 20)
            except socket.timeout:
                ending = "stalled"
                break
            except ConnectionResetError:
                piece = b""
            if not piece:
                ending = "closed"
                break
            data += piece
            if head_end is None and b"\r\n\r\n" in data:
                head_end = data.index(b"\r\n\r\n") + 4
                lines = data[:head_end - 4].decode().split("\r\n")
                headers = dict(line.split(": ", 1) for line in lines[1:])
                length = int(headers["Content-Length"])
    return lines[0], headers, bytes(data[head_end:]), ending


def test_faults(server, package, served_file):
    headers, body = package
    size = len(body)
    file_path, file_data = served_file
    # (path with query, check of one response) in request order; each path is new to the server
    # so its request counter starts at 1.
    cases = [
        (f"{PACKAGE}?drop_after=1000", lambda r: r[3] == "closed" and r[2] == body[:1000]
         and r[1]["Content-Length"] == str(size)),
        (f"{PACKAGE}?stall_after=5000", lambda r: r[3] == "stalled" and r[2] == body[:5000]),
        (f"{PACKAGE}?status=503", lambda r: r[0].startswith("HTTP/1.1 503") and b"503" in r[2]),
        (f"{PACKAGE}?corrupt_at=12345", lambda r: r[2][12345] == body[12345] ^ 0xFF
         and r[2][:12345] == body[:12345] and r[2][12346:] == body[12346:]
         and r[1]["ETag"] == headers["ETag"]),
        (f"{PACKAGE}?redirect=http%3A%2F%2Flocalhost%2Felsewhere%3Fa%3D1",
         lambda r: r[0].startswith("HTTP/1.1 302") and r[1]["Location"] ==
         "http://localhost/elsewhere?a=1"),
        (f"{PACKAGE}?status=500&times=1", lambda r: r[0].startswith("HTTP/1.1 500")),
        (f"{PACKAGE}?status=500&times=1", lambda r: r[0].startswith("HTTP/1.1 200")
         and r[2] == body),
        (f"{PACKAGE}?change=1", lambda r: r[1]["ETag"] == headers["ETag"] and r[2] == body),
        (f"{PACKAGE}?change=1", lambda r: r[1]["ETag"] != headers["ETag"]
         and r[1]["Last-Modified"] != headers["Last-Modified"] and len(r[2]) == size
         and r[2][size // 2] != body[size // 2] and r[2][:size // 4] == body[:size // 4]),
        (f"{file_path}?sha256=bad", lambda r: r[2] == file_data and r[1]["X-Checksum-SHA256"]
         != hashlib.sha256(file_data).hexdigest() and len(r[1]["X-Checksum-SHA256"]) == 64),
        (f"{file_path}?corrupt_at=3", lambda r: r[2][3] == file_data[3] ^ 0xFF and
         r[1]["X-Checksum-SHA256"] == hashlib.sha256(r[2]).hexdigest()),
        ("/files/sub/next.zip?change=1", lambda r: r[2] == file_data),
        ("/files/sub/next.zip?change=1", lambda r: r[2] == file_data[::-1] and
         r[1]["X-Checksum-SHA256"] == hashlib.sha256(file_data[::-1]).hexdigest()),
        (f"{PACKAGE}?nonsense=1", lambda r: r[0].startswith("HTTP/1.1 400")),
    ]
    for path, check in cases:
        outcome = _raw_get(server, path, timeout=2.0)
        assert check(outcome), (path, outcome[:2], len(outcome[2]), outcome[3])


def test_no_range_fault_and_range_on_a_dropped_url(server, package):
    body = package[1]
    status, headers, got = fetch(server, f"{PACKAGE}?no_range=1", {"Range": "bytes=5-9"})
    assert status == 200 and got == body
    status, headers, got = fetch(server, f"{PACKAGE}?drop_after=10&times=1", {"Range": "bytes=5-9"})
    assert status == 206 and got == body[5:10]           # shorter than the cut: whole range


def test_files_never_leave_their_folder(server, files_dir, served_file):
    outside = f"{files_dir.name}-outside.txt"
    for path in ["/files/../" + outside, "/files/%2e%2e/" + outside, "/files/sub",
                 "/files/missing.zip", "/files/", "/packages/999M", "/nothing"]:
        assert fetch(server, path)[0] == 404, path


def test_upgrade_echo_and_request_log(server):
    server.clear_requests()
    request = {"Cmd": "x", "UserID": "10482265", "MsgBody": {"Seq": "0123456789abcdef" * 2}}
    connection = connect(server)
    connection.request("POST", "/PalomineMultipleAppUpgrade", body=json.dumps(request))
    reply = connection.getresponse()
    assert reply.status == 200 and reply.getheader("Content-Type") == "application/json"
    assert json.loads(reply.read()) == {"Result": 0, "Seq": "0123456789abcdef" * 2,
                                        "UserID": "10482265"}
    connection.request("POST", "/PalomineMultipleAppUpgrade", body=b"{not json")
    reply = connection.getresponse()
    assert reply.status == 400 and "error" in json.loads(reply.read())
    connection.close()
    fetch(server, f"{PACKAGE}?times=2", {"Range": "bytes=0-0", "If-Range": '"x"'})
    seen = server.requests()
    assert [(r["method"], r["path"], r["query"], r["range"], r["if_range"]) for r in seen] == [
        ("POST", "/PalomineMultipleAppUpgrade", "", None, None),
        ("POST", "/PalomineMultipleAppUpgrade", "", None, None),
        ("GET", PACKAGE, "times=2", "bytes=0-0", '"x"')]
    assert json.loads(seen[0]["body"]) == request
    server.clear_requests()
    assert server.requests() == []


def test_https_checked_against_the_test_ca_only(server, ca):
    connection = connect(server, tls=True, ca=ca)
    connection.request("GET", PACKAGE, headers={"Range": "bytes=0-3"})
    reply = connection.getresponse()
    assert reply.status == 206 and reply.read() == b"PK\x03\x04"
    connection.close()
    stranger = connect(server, tls=True, ca=untrusted_ca())
    with pytest.raises(ssl.SSLCertVerificationError):
        stranger.request("GET", PACKAGE)
    stranger.close()


def test_connect_tunnel_reaches_the_https_listener_as_the_upgrade_host(server, ca):
    context = ssl.create_default_context(cafile=str(ca.ca_cert))
    import http.client
    connection = http.client.HTTPSConnection("127.0.0.1", server.http_port, timeout=10,
                                             context=context)
    connection.set_tunnel(UPGRADE_HOST, 443)
    connection.request("POST", "/PalomineMultipleAppUpgrade", body=b'{"UserID":"7"}')
    reply = connection.getresponse()
    assert reply.status == 200 and json.loads(reply.read())["UserID"] == "7"
    connection.close()


@pytest.mark.parametrize("taken", ["http", "https"])
def test_taken_port_is_a_clear_one_line_message(tmp_path, taken):
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        port = holder.getsockname()[1]
        ports = {"http_port": port, "https_port": 0} if taken == "http" else \
            {"http_port": 0, "https_port": port}
        completed = subprocess.run(server_command(**ports), capture_output=True, text=True,
                                   timeout=30)
    assert completed.returncode == 2
    assert completed.stderr == f"package_server: port {port} on 127.0.0.1 is already in use\n"


def test_stop_signal_ends_it_at_once_even_with_a_stalled_connection():
    with running_server(tls=False) as server:
        stalled = socket.create_connection(("127.0.0.1", server.http_port))
        stalled.sendall(f"GET {PACKAGE}?stall_after=10 HTTP/1.1\r\nHost: x\r\n\r\n".encode())
        stalled.recv(100)
        started = time.monotonic()
        server.process.send_signal(signal.SIGTERM)
        assert server.process.wait(timeout=5) == 0
        assert time.monotonic() - started < 2
        stalled.settimeout(5)
        assert stalled.recv(1 << 20) is not None        # closed with the process, no hang
        stalled.close()
