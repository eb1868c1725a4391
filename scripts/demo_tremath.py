#!/usr/bin/python3
"""Part 2 of the demo: Tremath.exe drives the real Quennet.dll against the local package server.

The server runs on the ports the console's built-in URLs name (HTTPS 47443, HTTP 47080), with a
certificate from the project's test CA, which only the build's Wine prefix trusts. Tremath runs
from a scratch copy (it extracts beside itself), removed afterwards with everything it wrote. In
a terminal the operator answers the dialogue; otherwise the demo answers it: built-in choice 0
(155 MB over HTTPS), package not kept."""
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("BUILD_DIR", REPO / "build"))
sys.path.insert(0, str(REPO / "tests" / "support"))
from package_server import running_server, trust_ca_in_prefix  # noqa: E402

ANSWERS = "0\n0\n\n"  # menu choice 0, mode 0 (package not kept), then the key for the pause


def main() -> int:
    trust_ca_in_prefix(build_dir=BUILD)
    with tempfile.TemporaryDirectory(prefix="tremath-demo.") as scratch:
        for name in ("Tremath.exe", "Quennet.dll"):
            shutil.copy2(BUILD / "bin" / name, scratch)
        with running_server(http_port=47080, https_port=47443, build_dir=BUILD):
            print("package server: https://localhost:47443 and http://localhost:47080 "
                  "(stopped when the demo ends)", flush=True)
            command = [str(BUILD / "wine-run"), str(Path(scratch) / "Tremath.exe")]
            if sys.stdin.isatty() and sys.stdout.isatty():
                print("Tremath is yours: pick a package (0 is 155 MB over HTTPS) and a mode.",
                      flush=True)
                return subprocess.run(command, cwd=scratch).returncode
            print(f"answering the dialogue: choice 0 (155 MB over HTTPS), mode 0", flush=True)
            completed = subprocess.run(command, cwd=scratch, input=ANSWERS.encode(),
                                       stdout=subprocess.PIPE, timeout=900)
            # On a pipe the console writes GBK, as on a Chinese Windows; show it as text here.
            sys.stdout.write(completed.stdout.decode("gbk", errors="replace")
                             .replace("\r\r\n", "\n").replace("\r\n", "\n"))
            extracted = Path(scratch) / "QuennetTest" / "游戏" / "0"
            files = [p for p in extracted.rglob("*") if p.is_file()] if extracted.exists() else []
            print(f"\nextracted {len(files)} files, "
                  f"{sum(p.stat().st_size for p in files) / 1e6:.0f} MB (removed again)")
            return completed.returncode


if __name__ == "__main__":
    sys.exit(main())
