"""trust_ca puts the test CA into the Wine prefix's CurrentUser Root store (where WinHTTP looks),
and says which call failed when it cannot."""
import hashlib
import ssl
import subprocess

import pytest

from package_server import test_ca, trust_ca_in_prefix
from winproc import BUILD_DIR, WINE_RUN

TRUST_CA = BUILD_DIR / "tools" / "trust_ca.exe"
ROOT_KEY = r"HKCU\Software\Microsoft\SystemCertificates\Root\Certificates"


def _thumbprint(ca) -> str:
    der = ssl.PEM_cert_to_DER_cert(ca.ca_cert.read_text())
    return hashlib.sha1(der).hexdigest().upper()


def test_ca_lands_in_the_current_user_root_store():
    ca = test_ca()
    trust_ca_in_prefix(ca)
    trust_ca_in_prefix(ca)                     # again: replaces, does not fail
    query = subprocess.run([str(WINE_RUN), "reg.exe", "query", f"{ROOT_KEY}\\{_thumbprint(ca)}"],
                           capture_output=True, text=True, timeout=120)
    assert query.returncode == 0, query.stderr
    blob = query.stdout.split("REG_BINARY")[1].strip()
    assert ssl.PEM_cert_to_DER_cert(ca.ca_cert.read_text()).hex().upper() in blob


@pytest.mark.parametrize("content,message", [
    (None, "usage: trust_ca CERTIFICATE.der"),
    ("missing", "CreateFileW failed: "),
    (b"", "not a certificate (size 0 bytes)"),
    (b"0\x03\x02\x01\x00 not DER", "CertAddEncodedCertificateToStore failed: "),
])
def test_failures_name_the_call(tmp_path, content, message):
    arguments = []
    if content is not None:
        path = tmp_path / "ca.der"
        if content != "missing":
            path.write_bytes(content)
        arguments = ["Z:" + str(path).replace("/", "\\")]
    completed = subprocess.run([str(WINE_RUN), str(TRUST_CA), *arguments], capture_output=True,
                               text=True, timeout=120)
    assert completed.returncode == 1
    assert completed.stderr.startswith("trust_ca: ") and message in completed.stderr
