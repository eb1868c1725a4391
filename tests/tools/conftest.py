"""One package server per test module, with a folder of files it serves under /files."""
import http.client
import shutil
import ssl
import tempfile
from pathlib import Path

import pytest

from package_server import running_server, test_ca


@pytest.fixture(scope="module")
def files_dir():
    folder = Path(tempfile.mkdtemp(prefix="served-files."))
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture(scope="module")
def server(files_dir):
    with running_server(files_dir=files_dir) as started:
        yield started


@pytest.fixture(scope="module")
def ca():
    return test_ca()


def connect(server, tls=False, ca=None, timeout=30):
    if tls:
        context = ssl.create_default_context(cafile=str(ca.ca_cert))
        return http.client.HTTPSConnection("localhost", server.https_port, timeout=timeout,
                                           context=context)
    return http.client.HTTPConnection("127.0.0.1", server.http_port, timeout=timeout)


def fetch(server, path, headers=None, method="GET"):
    """(status, headers, body) of one request on a fresh connection."""
    connection = connect(server)
    try:
        connection.request(method, path, headers=headers or {})
        reply = connection.getresponse()
        return reply.status, dict(reply.getheaders()), reply.read()
    finally:
        connection.close()
