#!/usr/bin/python3
"""The local package server for tests and scripts: generated menu packages, files from a folder,
the upgrade-strategy echo and scriptable faults, over HTTP and HTTPS on 127.0.0.1.

  server.py --http-port N --https-port N --tls-cert FILE --tls-key FILE [--files DIR]
            [--ready-file FILE]

Port 0 picks a free port. When both listeners are up the ready file gets
{"http": port, "https": port or null}. A port already taken ends it with exit code 2."""
import argparse
import errno
import json
import os
import signal
import socket
import ssl
import sys
import threading
from http.server import ThreadingHTTPServer
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from handler import Handler, ServerState  # noqa: E402
from packages import Catalogue  # noqa: E402

HOST = "127.0.0.1"


class Listener(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True          # TIME_WAIT only; a live listener still refuses
    request_queue_size = 64

    def __init__(self, port, handler_class, tls_context=None):
        self._tls_context = tls_context
        super().__init__((HOST, port), handler_class)

    def finish_request(self, request, client_address):
        # The TLS handshake runs here, on the connection's own thread, so one slow or broken
        # client never holds up accept().
        if self._tls_context is not None:
            try:
                request = self._tls_context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                request.close()
                return
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        error = sys.exc_info()[1]
        if isinstance(error, (ConnectionError, ssl.SSLError, TimeoutError, BrokenPipeError)):
            return                      # clients hang up mid-body on purpose in tests
        super().handle_error(request, client_address)


def _listen(port, handler_class, tls_context=None):
    try:
        return Listener(port, handler_class, tls_context)
    except OSError as error:
        if error.errno == errno.EADDRINUSE:
            print(f"package_server: port {port} on {HOST} is already in use", file=sys.stderr)
            sys.exit(2)
        raise


def _write_ready_file(path, ports):
    temporary = f"{path}.tmp{os.getpid()}"
    with open(temporary, "w") as file:
        json.dump(ports, file)
    os.replace(temporary, path)


def _arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--http-port", type=int, required=True)
    parser.add_argument("--https-port", type=int, default=0)
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--files")
    parser.add_argument("--ready-file")
    options = parser.parse_args()
    if bool(options.tls_cert) != bool(options.tls_key):
        parser.error("--tls-cert and --tls-key go together")
    if options.files and not os.path.isdir(options.files):
        parser.error(f"--files {options.files}: not a folder")
    return options


def main():
    options = _arguments()
    tls_context = None
    if options.tls_cert:
        tls_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls_context.load_cert_chain(options.tls_cert, options.tls_key)

    state = ServerState(Catalogue(), options.files)
    handler_class = type("BoundHandler", (Handler,), {"state": state})
    http = _listen(options.http_port, handler_class)
    https = _listen(options.https_port, handler_class, tls_context) if tls_context else None
    if https is not None:
        # CONNECT on the HTTP listener tunnels to the HTTPS one, so that a client configured
        # with this server as its proxy reaches any https://host/ URL here.
        state.tunnel_target = (HOST, https.server_address[1])

    def stop(signum, frame):
        state.stopping.set()
        for listener in (http, https):
            if listener is not None:
                listener.socket.close()
        os._exit(0)                     # connection threads (stalls, tunnels) end with us

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    for listener in (http, https):
        if listener is not None:
            threading.Thread(target=listener.serve_forever, daemon=True).start()
    ports = {"http": http.server_address[1],
             "https": https.server_address[1] if https is not None else None}
    if options.ready_file:
        _write_ready_file(options.ready_file, ports)
    # Packages are built on first use; building them now keeps that off the first request.
    for name in state.catalogue.names():
        state.catalogue.get(name)
    while True:
        signal.pause()


if __name__ == "__main__":
    main()
