"""Whole crashes: a host that uses the real Vessick.dll fails, the real orlent.exe reports it.

For an access violation, a stack overflow and an abort: the host ends with 4660, the reporter
names one new report folder, the folder holds a dump, a text and a JSON report, and two readers
that share nothing with the reporter (a minidump parser of our own, and lldb) agree with the JSON.
"""
import json
import os
import re
import shutil
import struct
import subprocess
import tempfile
from pathlib import Path

import pytest

from minidump_reader import BLOCK_STREAM, MODULE_LIST, THREAD_LIST, Minidump
from winproc import BIN_DIR, TEST_BIN_DIR, run, winpath

CRASH_EXIT = 4660
CODES = {"access-violation": 0xC0000005, "stack-overflow": 0xC00000FD, "abort": 0}
TEXTS = ["CrashingHost", "3.1.4", "nightly", "\u6d4b\u8bd5"]
# Debian's lldb finds its Python part only with this path (it still works without, noisily).
LLDB_PYTHON = "/usr/lib/llvm-14/lib/python3.11/dist-packages"


class Crash:
    def __init__(self, failure):
        self.scratch = Path(tempfile.mkdtemp(prefix="orlent-e2e-"))
        self.reports = self.scratch / "reports"
        facts_file = self.scratch / "facts.txt"
        self.outcome = run(TEST_BIN_DIR / "end_to_end_host.exe", failure, winpath(BIN_DIR),
                           winpath(facts_file), timeout=60,
                           env={"ORLENT_REPORTS_DIR": winpath(self.reports)})
        self.facts = {k: int(v, 16) for k, v in
                      (line.split("=") for line in facts_file.read_text().split())}
        folders = sorted(self.reports.iterdir()) if self.reports.exists() else []
        self.folder = folders[0] if len(folders) == 1 else None
        self.folders = folders

    @property
    def report(self):
        return json.loads((self.folder / "report.json").read_text(encoding="utf-8"))

    def frame_in(self, frame, function, span=0x100):
        return self.facts[function] <= int(frame["address"], 16) < self.facts[function] + span


@pytest.fixture(scope="module")
def crashes():
    made = {}
    yield lambda failure: made.setdefault(failure, Crash(failure))
    for crash in made.values():
        shutil.rmtree(crash.scratch, ignore_errors=True)


@pytest.mark.parametrize("failure", CODES)
def test_the_host_ends_with_4660_and_one_complete_report(crashes, failure):
    crash = crashes(failure)
    assert crash.outcome.exit_code == CRASH_EXIT, crash.outcome
    assert len(crash.folders) == 1, crash.folders
    # The reporter's one line names that folder.
    lines = crash.outcome.stdout.decode().splitlines()
    assert lines == [f"orlent: crash report written to {winpath(crash.folder)}"], lines
    assert sorted(p.name for p in crash.folder.iterdir()) == \
        ["crash.dmp", "report.json", "report.txt"]
    assert re.fullmatch(r"\d{4}-\d\d-\d\d_\d{6}\.\d{3}_p\d+", crash.folder.name)
    report = crash.report
    assert report["complete"] is True and report["problems"] == []
    assert crash.folder.name.endswith(f"_p{report['process']['id']}")


@pytest.mark.parametrize("failure", CODES)
def test_the_json_tells_the_crash(crashes, failure):
    crash = crashes(failure)
    report = crash.report
    host = report["host"]
    assert [host["product"], host["version"], host["channel"], host["note"]] == TEXTS
    assert host["path"].endswith("\\end_to_end_host.exe")
    assert host["versionNumbers"] == [3, 1, 4]
    assert host["uin"] == 271828
    assert host["language"] == 2052 and host["languageName"] == "zh-CN"
    process = report["process"]
    assert process["crashThreadId"] == crash.facts["thread_id"]
    assert process["initThreadId"] == crash.facts["thread_id"]

    exception = report["exception"]
    assert int(exception["code"], 16) == CODES[failure]
    registers = report["registers"]
    assert registers["eip"] == exception["address"]
    names = [m["name"].lower() for m in report["modules"]]
    assert {"end_to_end_host.exe", "vessick.dll", "kernel32.dll", "msvcrt.dll"} <= set(names)
    assert all(m["size"] > 0 for m in report["modules"])
    assert any(m["fileVersion"] for m in report["modules"])  # system DLLs carry one

    frames = report["stack"]["frames"]
    assert frames[0]["address"] == registers["eip"] and frames[0]["source"] == "context"
    if failure == "access-violation":
        assert exception["name"] == "EXCEPTION_ACCESS_VIOLATION"
        assert exception["parameters"] == ["0x00000001", "0x00000000"]  # a write to 0
        assert exception["module"] == "end_to_end_host.exe"
        assert crash.frame_in(frames[0], "WriteThroughNull", 0x20)
        assert crash.frame_in(frames[1], "Fail") and crash.frame_in(frames[2], "main", 0x300)
        # Named from the host's own symbol table.
        functions = [f["function"] for f in frames[:3]]
        assert functions[0].startswith("(anonymous namespace)::WriteThroughNull()+0x"), functions
        assert functions[1].startswith("(anonymous namespace)::Fail(char const*)+0x"), functions
        assert functions[2].startswith("main+0x"), functions
        assert exception["function"] == functions[0]
    elif failure == "stack-overflow":
        assert exception["name"] == "EXCEPTION_STACK_OVERFLOW"
        stack = report["stack"]
        # The thread's own stack, as saved before the library moved it to a fresh one.
        assert int(process["savedStackBase"], 16) == crash.facts["stack_base"]
        assert stack["high"] == process["savedStackBase"]
        assert stack["low"] == process["savedStackLimit"]
        assert stack["totalFrames"] > 1000 and stack["omitted"] > 0
        inner = frames[1:100]
        assert all(crash.frame_in(f, "Recurse", 0x40) for f in inner)
        assert all(f["function"].startswith("(anonymous namespace)::Recurse(int)+0x") for f in inner)
        # The outermost frames survive the cut: the walk reached where the recursion began.
        assert any(crash.frame_in(f, "Fail") for f in frames[-20:])
        assert any(crash.frame_in(f, "main", 0x300) for f in frames[-20:])
    else:
        assert exception["name"] == "" and "No hardware fault" in exception["description"]
        assert exception["module"] == "Vessick.dll"
        assert any(f["module"] == "msvcrt.dll" for f in frames)   # abort itself
        assert any(crash.frame_in(f, "Abort", 0x20) for f in frames)
        assert any((f["function"] or "").startswith("(anonymous namespace)::Abort()+0x")
                   for f in frames)
        assert any(crash.frame_in(f, "main", 0x300) for f in frames)


@pytest.mark.parametrize("failure", CODES)
def test_the_dump_holds_what_the_json_says(crashes, failure):
    crash = crashes(failure)
    report = crash.report
    dump = Minidump.load(crash.folder / "crash.dmp")
    assert report["minidump"]["size"] == (crash.folder / "crash.dmp").stat().st_size
    crash_thread = report["process"]["crashThreadId"]
    assert crash_thread in dump.thread_ids()
    names = [n.lower().rsplit("\\", 1)[-1] for n in dump.module_names()]
    assert "end_to_end_host.exe" in names and "vessick.dll" in names

    # The exception stream: built from the block's thread and the pair in the crashed process.
    exception = dump.exception()
    assert exception.thread_id == crash_thread
    assert exception.code == int(report["exception"]["code"], 16)
    assert exception.eip == int(report["registers"]["eip"], 16)
    assert report["minidump"]["exceptionFrom"] == "the crashed process's exception pointers"

    # The raw block travels along: as the crashed process held it.
    block = dump.stream(BLOCK_STREAM)
    total_size, _, _, _, pid, init_thread, thread, uin = (
        int.from_bytes(block[i:i + 4], "little") for i in range(0, 32, 4))
    assert total_size == len(block) == report["process"]["blockSize"]
    assert (pid, thread, uin) == (report["process"]["id"], crash_thread, 271828)
    strings = block[1528:].decode("utf-16-le").split("\0")
    assert strings[:4] == TEXTS
    assert {THREAD_LIST, MODULE_LIST} <= set(dump.streams)


@pytest.mark.parametrize("failure", CODES)
def test_lldb_agrees_on_the_thread_and_the_exception(crashes, failure):
    crash = crashes(failure)
    lldb = shutil.which("lldb")
    assert lldb, "lldb is missing: scripts/bootstrap.sh installs it"
    env = dict(os.environ, PYTHONPATH=LLDB_PYTHON)
    listed = subprocess.run([lldb, "--batch", "-c", str(crash.folder / "crash.dmp"),
                             "-o", "thread list"], capture_output=True, text=True, timeout=120,
                            env=env)
    report = crash.report
    match = re.search(r"\* thread #\d+: tid = (0x[0-9a-f]+), (0x[0-9a-f]+) (\S+), "
                      r"stop reason = Exception (0x[0-9a-f]+)", listed.stdout)
    assert match, listed.stdout + listed.stderr
    tid, pc, module, code = match.groups()
    assert int(tid, 16) == report["process"]["crashThreadId"]
    assert int(code, 16) == int(report["exception"]["code"], 16)
    assert int(pc, 16) == int(report["registers"]["eip"], 16)
    assert module.lower() == report["exception"]["module"].lower()


def lldb_batch(dump, *commands):
    lldb = shutil.which("lldb")
    assert lldb, "lldb is missing: scripts/bootstrap.sh installs it"
    arguments = [lldb, "--batch", "-c", str(dump)]
    for command in commands:
        arguments += ["-o", command]
    return subprocess.run(arguments, capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, PYTHONPATH=LLDB_PYTHON))


def test_the_overflow_dump_holds_the_stack_that_overflowed(crashes):
    # The crashed thread runs its handler on a fresh 64 KiB stack; the dump must carry the one
    # that overflowed as that thread's stack, or a reader walks one frame.
    crash = crashes("stack-overflow")
    report = crash.report
    dump = Minidump.load(crash.folder / "crash.dmp")
    esp = int(report["registers"]["esp"], 16)
    low = int(report["process"]["savedStackLimit"], 16)
    high = int(report["process"]["savedStackBase"], 16)
    [thread] = [t for t in dump.threads() if t.thread_id == report["process"]["crashThreadId"]]
    start, size = thread.stack_start, len(thread.stack)
    assert low <= start <= esp - 64 < esp < start + size <= high, \
        (hex(low), hex(start), hex(esp), hex(start + size), hex(high))
    assert 64 * 1024 <= size <= 1024 * 1024 and (start + size == high or size == 1024 * 1024)
    assert thread.esp == esp                          # the fault's context, not the waiting one
    assert (start, size) in dump.memory_ranges()
    words = struct.unpack(f"<{size // 4}I", thread.stack[:size // 4 * 4])
    returns = [w for w in words if crash.facts["Recurse"] < w < crash.facts["Recurse"] + 0x40]
    assert len(returns) > 1000, len(returns)

    # lldb walks it from the dump alone.
    walked = lldb_batch(crash.folder / "crash.dmp", "bt 400")
    frames = re.findall(r"frame #\d+: (0x[0-9a-f]+)", walked.stdout)
    assert len(frames) == 400, walked.stdout[-2000:] + walked.stderr
    assert all(crash.facts["Recurse"] <= int(f, 16) < crash.facts["Recurse"] + 0x40
               for f in frames), frames[:5]


def test_the_text_report_reads_as_the_json(crashes):
    crash = crashes("access-violation")
    report = crash.report
    text = (crash.folder / "report.txt").read_bytes().decode("utf-8")
    assert text.startswith("Crash report written by orlent at " + report["writtenAt"])
    assert "Complete: every check passed." in text
    assert "  Note:           \u6d4b\u8bd5\r\n" in text
    assert f"  Code:           {report['exception']['code']} EXCEPTION_ACCESS_VIOLATION" in text
    assert "Access violation writing address 0x00000000" in text
    assert f"  Where:          {report['exception']['location']}" in text
    for frame in report["stack"]["frames"]:
        assert frame["location"] in text
    assert "crash.dmp, " in text and "Problems" not in text


def test_the_reporter_is_a_windowless_program():
    # A console program started by a windowed host would open a console window.
    import pefile
    pe = pefile.PE(str(BIN_DIR / "orlent.exe"), fast_load=True)
    assert pe.OPTIONAL_HEADER.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]
