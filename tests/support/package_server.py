"""The local package server (tools/package_server/server.py) for tests, and the test CAs.

    with running_server(files_dir=some_dir) as server:
        url = server.https_url("/packages/155M")

The server is started on free ports, waited for, and on leave stopped and checked to have
exited (also when the test fails). The CA helpers keep every key in the build tree."""
import contextlib
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.request
from dataclasses import dataclass
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[2]
SERVER_SCRIPT = SOURCE_DIR / "tools" / "package_server" / "server.py"
DEBIAN_PYTHON = "/usr/bin/python3"
HOST_NAME = "localhost"
# The host the console's HTTP routines name in their fixed URL; the server certificate covers it
# so that those requests can reach this server through its CONNECT tunnel.
UPGRADE_HOST = "upgrade.palomine.example"
START_TIMEOUT = 15.0


def _build_dir(build_dir=None) -> Path:
    if build_dir is not None:
        return Path(build_dir)
    return Path(os.environ.get("BUILD_DIR", SOURCE_DIR / "build"))


# -- certificates --------------------------------------------------------------------------

@dataclass(frozen=True)
class TestCa:
    ca_cert: Path          # the CA certificate (PEM)
    ca_cert_der: Path      # the same in DER, as the Windows store takes it
    server_cert: Path      # certificate for localhost and the upgrade host, signed by the CA
    server_key: Path


# No keyUsage anywhere: Wine 8 cannot decode the keyUsage OpenSSL 3 writes and then fails the
# chain as partial. basicConstraints CA:TRUE is what makes the CA a CA for it.
_CA_EXTENSIONS = """
[req]
distinguished_name = dn
[dn]
[ca_ext]
basicConstraints = critical, CA:TRUE
subjectKeyIdentifier = hash
[server_ext]
basicConstraints = CA:FALSE
subjectAltName = DNS:{hosts}
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""


def _openssl(*args, cwd):
    completed = subprocess.run(["openssl", *args], cwd=cwd, capture_output=True, text=True)
    if completed.returncode != 0:
        raise RuntimeError(f"openssl {args[0]} failed: {completed.stderr.strip()}")


def _make_ca(folder: Path, name: str):
    hosts = f"{HOST_NAME}, DNS:{UPGRADE_HOST}"
    (folder / "openssl.cnf").write_text(_CA_EXTENSIONS.format(hosts=hosts))
    common = ["-config", "openssl.cnf"]
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
             "-out", "ca.pem", "-days", "3650", "-subj", f"/CN={name}", *common,
             "-extensions", "ca_ext", cwd=folder)
    _openssl("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der", cwd=folder)
    _openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key",
             "-out", "server.csr", "-subj", f"/CN={HOST_NAME}", *common, cwd=folder)
    _openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
             "-CAcreateserial", "-out", "server.pem", "-days", "825",
             "-extfile", "openssl.cnf", "-extensions", "server_ext", cwd=folder)


def _ca_in(build_dir, folder_name: str, common_name: str) -> TestCa:
    """The CA in BUILD_DIR/test-ca/FOLDER_NAME, made on first use. Made in a scratch folder and
    renamed into place, so concurrent tests never see half a CA."""
    root = _build_dir(build_dir) / "test-ca"
    folder = root / folder_name
    if not (folder / "server.pem").exists():
        root.mkdir(parents=True, exist_ok=True)
        scratch = Path(tempfile.mkdtemp(prefix=f"{folder_name}.", dir=root))
        try:
            _make_ca(scratch, common_name)
            try:
                scratch.rename(folder)
            except OSError:
                pass                    # another test made it first
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
    return TestCa(folder / "ca.pem", folder / "ca.der", folder / "server.pem",
                  folder / "server.key")


def test_ca(build_dir=None) -> TestCa:
    """The project's test CA (the one trusted in the Wine prefix) and its server certificate."""
    return _ca_in(build_dir, "trusted", "Tremath Test CA")


def untrusted_ca(build_dir=None) -> TestCa:
    """A second CA, never trusted anywhere: a server using its certificate must be refused."""
    return _ca_in(build_dir, "untrusted", "Untrusted Test CA")


test_ca.__test__ = False               # not a pytest test, whatever the name says


def trust_ca_in_prefix(ca: TestCa | None = None, build_dir=None):
    """Adds the CA to the CurrentUser "Root" store of the build's Wine prefix (never the
    machine's), through tools/trust_ca.exe. Adding it again is harmless."""
    build = _build_dir(build_dir)
    ca = ca or test_ca(build)
    program = build / "tools" / "trust_ca.exe"
    if not program.exists():
        raise FileNotFoundError(f"{program} is not built (target trust_ca)")
    windows_path = "Z:" + str(ca.ca_cert_der.resolve()).replace("/", "\\")
    completed = subprocess.run([str(build / "wine-run"), str(program), windows_path],
                               capture_output=True, timeout=120)
    if completed.returncode != 0:
        raise RuntimeError(f"trust_ca failed ({completed.returncode}): "
                           f"{completed.stderr.decode(errors='replace').strip()}")


# -- the server -----------------------------------------------------------------------------

class Server:
    def __init__(self, http_port: int, https_port: int | None, process):
        self.http_port = http_port
        self.https_port = https_port
        self.process = process

    def http_url(self, path: str) -> str:
        return f"http://{HOST_NAME}:{self.http_port}{path}"

    def https_url(self, path: str) -> str:
        if self.https_port is None:
            raise RuntimeError("this server has no HTTPS listener")
        return f"https://{HOST_NAME}:{self.https_port}{path}"

    @property
    def proxy(self) -> str:
        """host:port of the HTTP listener, which tunnels CONNECT to the HTTPS one."""
        return f"127.0.0.1:{self.http_port}"

    def requests(self) -> list:
        with urllib.request.urlopen(f"http://127.0.0.1:{self.http_port}/_requests",
                                    timeout=10) as reply:
            return json.load(reply)

    def clear_requests(self):
        with urllib.request.urlopen(f"http://127.0.0.1:{self.http_port}/_requests?clear=1",
                                    timeout=10) as reply:
            reply.read()


def server_command(http_port=0, https_port=0, files_dir=None, tls=True, ready_file=None,
                   ca: TestCa | None = None, build_dir=None) -> list:
    command = [DEBIAN_PYTHON, str(SERVER_SCRIPT), "--http-port", str(http_port)]
    if tls:
        ca = ca or test_ca(build_dir)
        command += ["--https-port", str(https_port), "--tls-cert", str(ca.server_cert),
                    "--tls-key", str(ca.server_key)]
    if files_dir is not None:
        command += ["--files", str(files_dir)]
    if ready_file is not None:
        command += ["--ready-file", str(ready_file)]
    return command


def _stop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


@contextlib.contextmanager
def running_server(files_dir=None, tls=True, http_port=0, https_port=0,
                   ca: TestCa | None = None, build_dir=None):
    """The server on free ports (or the ones given), stopped and waited for on leave."""
    with tempfile.TemporaryDirectory(prefix="package-server.") as scratch:
        ready_file = Path(scratch) / "ready.json"
        log_file = Path(scratch) / "stderr.txt"
        with open(log_file, "wb") as log:
            process = subprocess.Popen(
                server_command(http_port, https_port, files_dir, tls, ready_file, ca, build_dir),
                stdout=subprocess.DEVNULL, stderr=log)
        try:
            deadline = time.monotonic() + START_TIMEOUT
            while not ready_file.exists():
                if process.poll() is not None:
                    raise RuntimeError(f"package server exited with {process.returncode}: "
                                       f"{log_file.read_text(errors='replace').strip()}")
                if time.monotonic() > deadline:
                    raise TimeoutError("package server did not become ready")
                time.sleep(0.02)
            ports = json.loads(ready_file.read_text())
            yield Server(ports["http"], ports["https"], process)
        finally:
            _stop(process)
        if process.returncode != 0:
            raise RuntimeError(f"package server ended with {process.returncode}: "
                               f"{log_file.read_text(errors='replace').strip()}")
