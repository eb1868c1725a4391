"""HTTP/1.1 request handling: routes, single ranges with If-Range, the faults, the request log
and the upgrade-strategy echo. One thread per connection (the server's), keep-alive."""
import json
import os
import select
import socket
import threading
import time
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler
from urllib.parse import unquote, urlsplit

import faults as fault_rules
from bodies import AlteredBody, EncodedBody, FileBody, PackageBody, change_offsets

STALL_SECONDS = 120
UPGRADE_PATH = "/PalomineMultipleAppUpgrade"


class ServerState:
    """What all connections share."""

    def __init__(self, catalogue, files_dir, tunnel_target=None):
        self.catalogue = catalogue
        self.files_dir = os.path.realpath(files_dir) if files_dir else None
        self.counter = fault_rules.RequestCounter()
        self.stopping = threading.Event()
        self.tunnel_target = tunnel_target     # (host, port) that CONNECT reaches, or None
        self._log_lock = threading.Lock()
        self._log = []

    def record(self, entry):
        with self._log_lock:
            self._log.append(entry)

    def requests(self, clear=False):
        with self._log_lock:
            seen = list(self._log)
            if clear:
                self._log.clear()
            return seen


class _Dropped(Exception):
    """The connection was ended on purpose (a fault)."""


def parse_range(header: str | None, size: int):
    """(start, end) for one satisfiable range, "unsatisfiable", or None (no usable Range:
    serve the whole body)."""
    if not header or not header.startswith("bytes="):
        return None
    byte_range = header[len("bytes="):].strip()
    if "," in byte_range or "-" not in byte_range:
        return None
    first, last = (part.strip() for part in byte_range.split("-", 1))
    try:
        if first == "":
            suffix = int(last)
            if suffix <= 0:
                return "unsatisfiable"
            return (max(0, size - suffix), size)
        start = int(first)
        end = int(last) + 1 if last else size
    except ValueError:
        return None
    if start < 0 or end <= start:
        return None if end <= start and last else "unsatisfiable"
    if start >= size:
        return "unsatisfiable"
    return (start, min(end, size))


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "PackageServer/1"
    state: ServerState            # set on the subclass the server makes

    def log_message(self, format, *args):   # quiet: tests read /_requests instead
        pass

    # -- routing --

    def do_GET(self):
        self._route(send_body=True)

    def do_HEAD(self):
        self._route(send_body=False)

    def do_POST(self):
        target = urlsplit(self.path)
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        self._record(target, body)
        if target.path != UPGRADE_PATH:
            self._send_json(HTTPStatus.NOT_FOUND, {"error": f"no POST route {target.path}"})
            return
        try:
            request = json.loads(body.decode("utf-8"))
            if not isinstance(request, dict):
                raise ValueError("the body is not a JSON object")
        except (UnicodeDecodeError, ValueError) as error:
            self._send_json(HTTPStatus.BAD_REQUEST, {"error": f"body is not JSON: {error}"})
            return
        message = request.get("MsgBody") if isinstance(request.get("MsgBody"), dict) else {}
        self._send_json(HTTPStatus.OK, {"Result": 0, "Seq": message.get("Seq", request.get("Seq")),
                                        "UserID": request.get("UserID")})

    def do_CONNECT(self):
        self._record(urlsplit("//" + self.path), b"")
        if self.state.tunnel_target is None:
            self._send_text(HTTPStatus.NOT_IMPLEMENTED, "no tunnel here\n")
            return
        try:
            upstream = socket.create_connection(self.state.tunnel_target, timeout=10)
        except OSError as error:
            self._send_text(HTTPStatus.BAD_GATEWAY, f"tunnel: {error}\n")
            return
        self.send_response(HTTPStatus.OK, "Connection established")
        self.end_headers()
        self.close_connection = True
        _relay(self.connection, upstream, self.state.stopping)

    def _route(self, send_body):
        target = urlsplit(self.path)
        self._record(target, b"")
        path = unquote(target.path)
        if path == "/_requests":
            self._send_json(HTTPStatus.OK, self.state.requests(clear="clear=1" in target.query))
            return
        request_number = self.state.counter.next(self.path)
        try:
            faults = fault_rules.parse(target.query, request_number)
        except fault_rules.FaultError as error:
            self._send_text(HTTPStatus.BAD_REQUEST, f"{error}\n", send_body)
            return
        body = self._body_for(path, faults)
        if body is None:
            self._send_text(HTTPStatus.NOT_FOUND, f"nothing at {path}\n", send_body)
            return
        if faults.redirect is not None:
            self.send_response(HTTPStatus.FOUND)
            self.send_header("Location", faults.redirect)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if faults.status is not None:
            self._send_text(faults.status, f"status {faults.status} on request\n", send_body)
            return
        try:
            self._send_body(body, faults, send_body)
        except _Dropped:
            self.close_connection = True

    def _body_for(self, path, faults):
        if path.startswith("/packages/"):
            name = path[len("/packages/"):]
            layout = self.state.catalogue.get(name)
            if layout is None:
                return None
            body = PackageBody(name, layout)
        elif path.startswith("/files/") and self.state.files_dir:
            file_path = self._file_path(path[len("/files/"):], faults.changed)
            if file_path is None:
                return None
            body = FileBody(file_path)
            if faults.changed and file_path.endswith(".changed"):
                faults.changed = False          # the sibling is the changed file itself
        else:
            return None
        masks = {}
        if faults.changed:
            masks.update(change_offsets(body.size))
        if faults.corrupt_at is not None:
            masks[faults.corrupt_at] = masks.get(faults.corrupt_at, 0) ^ 0xFF
        if masks or faults.changed:
            body = AlteredBody(body, masks, new_identity=faults.changed)
        if faults.encoding is not None:
            body = EncodedBody(body)
        return body

    def _file_path(self, relative, changed):
        """The file under --files for RELATIVE, never outside it. A changed file is the sibling
        NAME.changed when the test provided one."""
        if not relative or "\0" in relative:
            return None
        root = self.state.files_dir
        candidate = os.path.realpath(os.path.join(root, relative))
        if os.path.commonpath([root, candidate]) != root or not os.path.isfile(candidate):
            return None
        if changed and os.path.isfile(candidate + ".changed"):
            return candidate + ".changed"
        return candidate

    # -- responses --

    def _send_body(self, body, faults, send_body):
        whole = (0, body.size)
        span, status = whole, HTTPStatus.OK
        range_header = self.headers.get("Range")
        serves_ranges = not faults.no_range and faults.encoding is None
        if range_header and serves_ranges and self._if_range_holds(body):
            parsed = parse_range(range_header, body.size)
            if parsed == "unsatisfiable":
                self.send_response(HTTPStatus.REQUESTED_RANGE_NOT_SATISFIABLE)
                self.send_header("Content-Range", f"bytes */{body.size}")
                self.send_header("Content-Length", "0")
                self.send_header("Accept-Ranges", "bytes")
                self.send_header("ETag", body.etag)
                self.end_headers()
                return
            if parsed is not None:
                span, status = parsed, HTTPStatus.PARTIAL_CONTENT
        start, end = span
        self.send_response(status)
        self.send_header("Content-Type", "application/zip" if body.sha256 is None
                         else "application/octet-stream")
        self.send_header("Content-Length", str(end - start))
        if faults.encoding is None:         # no_range still claims ranges, as some servers do
            self.send_header("Accept-Ranges", "bytes")
        if faults.encoding is not None:
            self.send_header("Content-Encoding", faults.encoding)
        self.send_header("ETag", body.etag)
        self.send_header("Last-Modified", body.last_modified)
        if body.sha256 is not None:
            digest = body.sha256
            if faults.bad_sha256:
                digest = format(int(digest, 16) ^ 1, "064x")
            self.send_header("X-Checksum-SHA256", digest)
        if status == HTTPStatus.PARTIAL_CONTENT:
            self.send_header("Content-Range", f"bytes {start}-{end - 1}/{body.size}")
        self.end_headers()
        if send_body:
            self._write_span(body, start, end, faults)

    def _if_range_holds(self, body):
        condition = self.headers.get("If-Range")
        if condition is None:
            return True
        condition = condition.strip()
        if condition.startswith('"') or condition.startswith("W/"):
            return condition == body.etag
        return condition == body.last_modified

    def _write_span(self, body, start, end, faults):
        limit = end - start
        cut = min(x for x in (faults.drop_after, faults.stall_after, limit) if x is not None)
        sent = 0
        pace = _Pace(faults.rate)
        if cut > 0:
            for chunk in body.chunks(start, start + cut):
                for piece in pace.pieces(chunk):
                    self.wfile.write(piece)
                sent += len(chunk)
                self._entry["sent"] = sent
        if sent >= limit:
            return
        if faults.stall_after is not None and faults.stall_after == cut:
            self._stall()
        self._drop()

    def _stall(self):
        deadline = time.monotonic() + STALL_SECONDS
        while not self.state.stopping.is_set() and time.monotonic() < deadline:
            readable, _, _ = select.select([self.connection], [], [], 0.5)
            if readable:
                try:
                    if not self.connection.recv(4096):
                        break                   # the client gave up
                except OSError:
                    break

    def _drop(self):
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        raise _Dropped()

    def _send_text(self, status, text, send_body=True):
        data = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if send_body:
            self.wfile.write(data)

    def _send_json(self, status, value):
        data = json.dumps(value, ensure_ascii=False).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def _record(self, target, body):
        if target.path == "/_requests":
            return
        entry = {"method": self.command, "path": unquote(target.path), "query": target.query,
                 "range": self.headers.get("Range"), "if_range": self.headers.get("If-Range"),
                 "accept_encoding": self.headers.get("Accept-Encoding"),
                 "at": time.monotonic(), "sent": 0,
                 "host": self.headers.get("Host"), "user_agent": self.headers.get("User-Agent"),
                 "tls": getattr(self.connection, "version", None) is not None}
        if self.command in ("POST", "CONNECT"):
            entry["body"] = body.decode("utf-8", errors="replace")
            entry["headers"] = dict(self.headers.items())
            if self.command == "CONNECT":
                entry["path"] = self.path
        self._entry = entry             # "sent" grows as the body goes out
        self.state.record(entry)


class _Pace:
    """Holds a body to RATE bytes per second (None: as fast as it goes), in pieces small enough
    that the client sees a steady link rather than bursts."""

    PIECE = 64 * 1024

    def __init__(self, rate):
        self._rate = rate
        self._started = time.monotonic()
        self._sent = 0

    def pieces(self, chunk):
        if self._rate is None:
            yield chunk
            return
        for at in range(0, len(chunk), self.PIECE):
            ahead = self._sent / self._rate - (time.monotonic() - self._started)
            if ahead > 0:
                time.sleep(ahead)
            piece = chunk[at:at + self.PIECE]
            self._sent += len(piece)
            yield piece


def _relay(client, upstream, stopping):
    """Copies bytes both ways until either side closes."""
    sockets = [client, upstream]
    try:
        while not stopping.is_set():
            readable, _, _ = select.select(sockets, [], [], 0.5)
            for source in readable:
                data = source.recv(1 << 16)
                if not data:
                    return
                (upstream if source is client else client).sendall(data)
    except OSError:
        pass
    finally:
        upstream.close()
