"""Running Tremath.exe (and the HTTP routines' driver) under Wine beside the scriptable test
double of Quennet.dll, and reading back what the console printed and what the double saw."""
import shutil
from dataclasses import dataclass
from pathlib import Path

from winproc import BIN_DIR, BUILD_DIR, run, winpath

TEST_BIN = BUILD_DIR / "tests" / "decodertest" / "bin"
DOUBLE = TEST_BIN / "quennet_double.dll"
WITHOUT_FACTORIES = TEST_BIN / "quennet_without_factories.dll"

# Wine's cmd prints this for "pause" (Windows' wording differs).
PAUSE_PROMPT = "Press any key to continue... "

MENU = ("请选择内置测试安装包大小：\r\n"
        "0，155M\r\n"
        "1，220M\r\n"
        "2, 480M\r\n"
        "3, 1.7G （内含1.5g单个文件）\r\n"
        "4, 60G\r\n"
        "5, 其他url\r\n")
URL_PROMPT = "请输入自定义url:\n"
MODE_PROMPT = "请选择流式解压方式：0，安装包不落地， 1，安装包落地\n"
BUILT_IN_URLS = [
    "https://localhost:47443/packages/155M",
    "http://localhost:47080/packages/220M",
    "http://localhost:47080/packages/480M",
    "http://localhost:47080/packages/1.7G",
    "http://localhost:47080/packages/60G",
]


def console_bytes(text: str) -> bytes:
    """What the console's wide stream puts on a pipe for TEXT: GBK under the "chs" locale, and
    every LF written as CRLF by text mode (so a CRLF in the text arrives as CR CR LF)."""
    return text.replace("\n", "\r\n").encode("gbk")


def start_lines(url: str, extract_dir: str) -> str:
    return f"开始执行流式解压任务:\r\nURL:{url}, \r\n安装目录：{extract_dir}\n\n"


def unescape(field: str) -> str:
    out, i = [], 0
    while i < len(field):
        if field[i] == "\\" and i + 1 < len(field):
            out.append({"\\": "\\", "t": "\t", "r": "\r", "n": "\n"}[field[i + 1]])
            i += 2
        else:
            out.append(field[i])
            i += 1
    return "".join(out)


@dataclass
class ConsoleRun:
    exit_code: int
    stdout: bytes
    record: list  # one list of fields per event the double recorded

    def events(self, name):
        return [fields for fields in self.record if fields[0] == name]

    def names(self):
        return [fields[0] for fields in self.record]


class Folder:
    """A folder holding one program and, unless told otherwise, the double as Quennet.dll."""

    def __init__(self, path: Path, program: Path, library: Path | None = DOUBLE):
        self.path = path
        path.mkdir(parents=True, exist_ok=True)
        self.program = path / program.name
        shutil.copy(program, self.program)
        if library is not None:
            shutil.copy(library, path / "Quennet.dll")

    def win(self, *parts) -> str:
        return "\\".join([winpath(self.path), *parts])

    def download_dir(self) -> str:
        return self.win("QuennetTest", "游戏")

    def run(self, *args, stdin: str = "", script: str = "", timeout: float = 30,
            env: dict | None = None) -> ConsoleRun:
        (self.path / "quennet_script.txt").write_text(script, encoding="utf-8")
        record_file = self.path / "quennet_record.txt"
        record_file.unlink(missing_ok=True)
        outcome = run(self.program, *args, stdin=stdin.encode("gbk"), timeout=timeout,
                      cwd=self.path, env=env)
        assert not outcome.timed_out, f"timed out; printed {outcome.stdout!r}"
        record = []
        if record_file.exists():
            for line in record_file.read_text(encoding="utf-8").splitlines():
                record.append([unescape(field) for field in line.split("\t")])
        assert not [r for r in record if r[0] == "script error"], record
        return ConsoleRun(outcome.exit_code, outcome.stdout, record)


def tremath_folder(path: Path, library: Path | None = DOUBLE) -> Folder:
    return Folder(path, BIN_DIR / "Tremath.exe", library)


def driver_folder(path: Path, library: Path | None = DOUBLE) -> Folder:
    return Folder(path, TEST_BIN / "http_request_driver.exe", library)
