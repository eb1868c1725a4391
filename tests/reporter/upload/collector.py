"""A crash collector on loopback for the upload tests: it records every request exactly as it
arrived and answers from a script. Runs on a thread of the test process; `with Collector(...)`
stops it and waits for its threads on every way out."""
import gzip
import socket
import ssl
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


@dataclass
class Received:
    at: float
    path: str
    headers: dict
    raw_body: bytes

    @property
    def body(self) -> bytes:
        if self.headers.get("content-encoding") == "gzip":
            return gzip.decompress(self.raw_body)
        return self.raw_body

    def parts(self) -> dict:
        """name -> (filename or None, content type or None, bytes) of the multipart body."""
        content_type = self.headers["content-type"]
        assert content_type.startswith("multipart/form-data; boundary="), content_type
        boundary = content_type.split("boundary=", 1)[1].encode()
        body = self.body
        assert body.endswith(b"--" + boundary + b"--\r\n")
        parts = {}
        for chunk in (b"\r\n" + body).split(b"\r\n--" + boundary)[1:-1]:
            head, content = chunk[2:].split(b"\r\n\r\n", 1)
            fields = dict(line.split(b": ", 1) for line in head.split(b"\r\n"))
            disposition = fields[b"Content-Disposition"].decode()
            name = disposition.split('name="', 1)[1].split('"', 1)[0]
            filename = disposition.split('filename="', 1)[1].split('"', 1)[0] \
                if "filename=" in disposition else None
            kind = fields.get(b"Content-Type", b"").decode() or None
            assert name not in parts, name
            parts[name] = (filename, kind, content)
        return parts

    def field(self, name) -> str:
        return self.parts()[name][2].decode("utf-8")


@dataclass
class Reply:
    status: int = 200
    body: bytes = b"CrashID=bp-00000000-0000-0000-0000-000000000001\n"
    headers: dict = field(default_factory=dict)
    hang: bool = False            # accept the request, then say nothing until stopped
    delay: float = 0.0            # seconds before answering
    # Seconds between the bytes of the answer, from its status line on ("head") or after a
    # prompt head, in its body ("body"): each byte renews the client's network time-outs.
    trickle: float = 0.0
    trickle_from: str = "head"


class Collector:
    def __init__(self, script=None, certificate=None):
        """certificate: (certificate file, key file) to serve HTTPS as "localhost"."""
        self.script = list(script or [Reply()])
        self.received: list[Received] = []
        self.answered: list[float] = []
        self.trickled: list[float] = []        # when each trickled byte went out
        self.trickle_ended: float | None = None
        self._stop = threading.Event()
        collector = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                length = self.headers.get("Content-Length")
                raw = self.rfile.read(int(length)) if length is not None else b""
                collector.received.append(Received(
                    time.monotonic(), self.path,
                    {k.lower(): v for k, v in self.headers.items()}, raw))
                reply = collector.script[min(len(collector.received), len(collector.script)) - 1]
                if reply.hang:
                    collector._stop.wait(120)
                    return
                collector._stop.wait(reply.delay)
                if reply.trickle:
                    self._trickle(reply)
                    return
                self.send_response(reply.status)
                for name, value in reply.headers.items():
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(reply.body)))
                self.end_headers()
                self.wfile.write(reply.body)
                collector.answered.append(time.monotonic())

            def _trickle(self, reply):
                head = (f"HTTP/1.1 {reply.status} OK\r\nContent-Length: {len(reply.body)}\r\n"
                        + "".join(f"{k}: {v}\r\n" for k, v in reply.headers.items())
                        + "\r\n").encode()
                slow = head + reply.body
                if reply.trickle_from == "body":
                    self.wfile.write(head)
                    self.wfile.flush()
                    slow = reply.body
                try:
                    for byte in slow:
                        self.wfile.write(bytes([byte]))
                        self.wfile.flush()
                        collector.trickled.append(time.monotonic())
                        if collector._stop.wait(reply.trickle):
                            break
                except OSError:
                    collector.trickle_ended = time.monotonic()   # the client went away
                self.close_connection = True

            def log_message(self, *args):
                pass

        self._server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = False
        self._server.block_on_close = True
        self.port = self._server.server_address[1]
        self.url = f"http://127.0.0.1:{self.port}/submit"
        if certificate:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*map(str, certificate))
            self._server.socket = context.wrap_socket(self._server.socket, server_side=True)
            # The certificate names localhost; Wine does not match IP-address names.
            self.url = f"https://localhost:{self.port}/submit"
        self._thread = threading.Thread(target=self._server.serve_forever)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._server.shutdown()
        self._server.server_close()     # joins the request threads
        self._thread.join()


def closed_port_url() -> str:
    """A loopback URL nobody listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return f"http://127.0.0.1:{port}/submit"
