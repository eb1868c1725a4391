"""Running the Windows programs of this build under Wine, from process-level tests."""
import os
import subprocess
import tempfile
from dataclasses import dataclass
from pathlib import Path

BUILD_DIR = Path(os.environ.get("BUILD_DIR", Path(__file__).resolve().parents[2] / "build"))
BIN_DIR = BUILD_DIR / "bin"                 # what ships
TEST_BIN_DIR = BUILD_DIR / "tests" / "bin"  # test programs
EXAMPLES_DIR = BUILD_DIR / "examples"
WINE_RUN = BUILD_DIR / "wine-run"


def winpath(path) -> str:
    """The Windows form of a Unix path, through Wine's Z: drive."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


@dataclass
class Outcome:
    exit_code: int | None   # the full 32-bit code as a Windows parent sees it; None on time-out
    stdout: bytes
    stderr: bytes

    @property
    def timed_out(self) -> bool:
        return self.exit_code is None


def run(program, *args, stdin: bytes = b"", timeout: float = 60.0, cwd=None,
        env: dict | None = None) -> Outcome:
    """Runs PROGRAM (a path to a .exe) under Wine with a Windows parent and returns its full
    exit code and output. Everything the program starts is ended with it."""
    with tempfile.TemporaryDirectory() as scratch:
        result_file = Path(scratch) / "exit"
        command = [str(WINE_RUN), str(TEST_BIN_DIR / "exit_code_of.exe"), winpath(result_file),
                   str(int(timeout * 1000)), winpath(program), *map(str, args)]
        full_env = dict(os.environ)
        full_env.update(env or {})
        completed = subprocess.run(command, input=stdin, capture_output=True, cwd=cwd,
                                   env=full_env, timeout=timeout + 60)
        text = result_file.read_text() if result_file.exists() else ""
    if text == "timeout":
        return Outcome(None, completed.stdout, completed.stderr)
    if not text.startswith("exit="):
        raise RuntimeError(f"exit_code_of could not run {program}: {text!r} "
                           f"{completed.stderr.decode(errors='replace')}")
    return Outcome(int(text[5:]), completed.stdout, completed.stderr)
