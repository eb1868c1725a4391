"""Reports a developer can act on, from a small C host built as game teams ship it.

The host (game_host.c) is built optimised without frame pointers, at -O0 with -g, and optimised
and stripped. Each build crashes in the named ways; the real Vessick.dll hands the crash to the
real orlent.exe, whose report must name the callers, the source line, the other threads, the
reason for a report without a hardware exception, and the host's build.
"""
import json
import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

import pefile
import pytest

from winproc import BIN_DIR, TEST_BIN_DIR, run, winpath

CRASH_EXIT = 4660
LLDB_PYTHON = "/usr/lib/llvm-14/lib/python3.11/dist-packages"
SOURCE = Path(__file__).with_name("game_host.c")
FAULT_LINE = next(i for i, line in enumerate(SOURCE.read_text().splitlines(), 1)
                  if "FAULT_LINE" in line)


class Crash:
    def __init__(self, build, mode):
        self.scratch = Path(tempfile.mkdtemp(prefix="orlent-dev-"))
        reports = self.scratch / "reports"
        facts = self.scratch / "facts.txt"
        self.outcome = run(TEST_BIN_DIR / f"game_host_{build}.exe", mode, winpath(BIN_DIR),
                           winpath(facts), timeout=90,
                           env={"ORLENT_REPORTS_DIR": winpath(reports)})
        self.facts = {k: int(v, 16) for k, v in
                      (line.split("=") for line in facts.read_text().split())}
        folders = sorted(reports.iterdir()) if reports.exists() else []
        assert len(folders) == 1, (folders, self.outcome)
        self.folder = folders[0]
        self.report = json.loads((self.folder / "report.json").read_text(encoding="utf-8"))
        self.text = (self.folder / "report.txt").read_text(encoding="utf-8")

    def crashed_frames(self):
        thread = self.report["threads"][0]
        assert thread["crashed"] is True
        return thread["frames"]


@pytest.fixture(scope="module")
def crashes():
    made = {}
    yield lambda build, mode: made.setdefault((build, mode), Crash(build, mode))
    for crash in made.values():
        shutil.rmtree(crash.scratch, ignore_errors=True)


def names(frames):
    return [(f["function"] or "") for f in frames]


def index_of(frames, prefix):
    return next((i for i, n in enumerate(names(frames)) if n.startswith(prefix)), None)


# (build, mode, innermost function that must be named, its caller that must follow)
CHAINS = [
    ("o2", "null", "LoadLevel+", "main"),
    ("o2", "divide", "ScoreRatio+", "main"),
    ("o2", "thread", "LoadLevel+", "CrashingThread"),
    ("debug", "null", "LoadLevel", "main"),
    ("stripped", "null", None, None),
]


@pytest.mark.parametrize("build,mode,inner,caller", CHAINS)
def test_the_crashing_chain_reaches_the_callers(crashes, build, mode, inner, caller):
    crash = crashes(build, mode)
    assert crash.outcome.exit_code == CRASH_EXIT, crash.outcome
    assert crash.report["complete"] is True, crash.report["problems"]
    frames = crash.crashed_frames()
    assert frames[0]["source"] == "context"
    # The caller of the faulting function is found by unwinding, not by a guess.
    assert frames[1]["source"] == "call frame info", frames[:3]
    addresses = [int(f["address"], 16) for f in frames]
    if build == "stripped":
        # No names without symbols, but the same chain: a return address inside main.
        main = crash.facts["main"]
        assert any(main < a < main + 0x1000 for a in addresses[1:3]), frames[:4]
        return
    at = index_of(frames, inner)
    assert at == 0, names(frames)
    assert names(frames)[1].startswith(caller), names(frames)


def test_the_debug_build_names_file_and_line_of_the_faulting_statement(crashes):
    crash = crashes("debug", "null")
    exception = crash.report["exception"]
    assert exception["file"] and exception["file"].replace("\\", "/").endswith("game_host.c")
    assert exception["line"] == FAULT_LINE
    assert f"game_host.c:{FAULT_LINE}" in crash.text
    # The optimised build carries no line for it.
    assert crashes("o2", "null").report["exception"]["line"] is None


def test_a_second_thread_appears_with_its_name_and_function(crashes):
    crash = crashes("o2", "worker")
    threads = crash.report["threads"]
    assert threads[0]["id"] == crash.facts["main_thread"] and threads[0]["crashed"]
    worker = next(t for t in threads if t["id"] == crash.facts["worker_thread"])
    assert worker["crashed"] is False and worker["problem"] is None
    assert worker["start"]["function"].startswith("WorkerLoop")
    assert any(n.startswith("WorkerLoop") for n in names(worker["frames"]))
    if worker["name"] is not None:  # where the system keeps thread descriptions
        assert worker["name"] == "level streamer"
        assert '"level streamer"' in crash.text


@pytest.mark.parametrize("build", ["o2", "debug"])
def test_abort_names_its_reason(crashes, build):
    crash = crashes(build, "abort")
    exception = crash.report["exception"]
    assert int(exception["code"], 16) == 0
    assert exception["handlerBody"] == "OnSigAbrt"
    assert exception["reason"] == "abort() was called (SIGABRT)"
    assert "  Reason:         abort() was called (SIGABRT)" in crash.text
    assert any(n.startswith("main") for n in names(crash.crashed_frames()))


@pytest.mark.parametrize("build", ["o2", "debug"])
def test_a_stack_overflow_through_big_frames_names_the_probe_and_the_recursion(crashes, build):
    crash = crashes(build, "overflow")
    frames = crash.crashed_frames()
    assert crash.report["exception"]["name"] == "EXCEPTION_STACK_OVERFLOW"
    assert names(frames)[0].startswith(("__chkstk_ms+", "Descend"))
    assert not names(frames)[0].startswith("__mingw_enum_import_library_names")
    recursing = [n for n in names(frames[:20]) if n.startswith("Descend")]
    assert len(recursing) >= 10, names(frames[:20])
    # The cut keeps both ends: main is among the outermost frames.
    assert any(n.startswith("main") for n in names(frames[-10:]))


def test_the_json_identifies_the_host_build_and_the_system(crashes):
    crash = crashes("o2", "null")
    host = next(m for m in crash.report["modules"] if m["name"] == "game_host_o2.exe")
    assert int(host["timeDateStamp"], 16) == crash.facts["time_date_stamp"]
    assert host["sizeOfImage"] > 0 and host["callFrameInfo"] is True
    # The shipped library is linked with a named debug file: its keys as pefile reads them.
    library = next(m for m in crash.report["modules"] if m["name"] == "Vessick.dll")
    pe = pefile.PE(str(BIN_DIR / "Vessick.dll"), fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DEBUG"]])
    record = next(d.entry for d in pe.DIRECTORY_ENTRY_DEBUG if d.struct.Type == 2)
    guid = (f"{record.Signature_Data1:08X}{record.Signature_Data2:04X}"
            f"{record.Signature_Data3:04X}{record.Signature_Data4:02X}"
            f"{record.Signature_Data5:02X}{record.Signature_Data6.hex().upper()}")
    assert library["debugFile"] == "Vessick.pdb"
    assert library["debugId"] == f"{guid}{record.Age:X}"
    assert library["age"] == record.Age == library["codeView"]["age"]
    assert library["codeViewGuid"].replace("-", "").strip("{}") == guid
    assert library["codeId"] == (f"{pe.FILE_HEADER.TimeDateStamp:08X}"
                                 f"{pe.OPTIONAL_HEADER.SizeOfImage:x}")
    assert "debug file Vessick.pdb" in crash.text
    assert f"code id {library['codeId']}, debug id {library['debugId']}" in crash.text
    # A module linked without one has no debug keys, only its code id.
    assert host["codeViewGuid"] is None and host["debugId"] is None and host["debugFile"] is None
    assert host["codeId"] == f"{crash.facts['time_date_stamp']:08X}{host['sizeOfImage']:x}"
    system = crash.report["system"]
    assert system["windowsBuild"] > 0 and system["processorCount"] >= 1
    assert 0 < system["physicalAvailable"] <= system["physicalTotal"]
    assert system["processUptimeMs"] is not None and system["processUptimeMs"] >= 0
    assert "  Windows:        Windows " in crash.text


def test_lldb_and_the_dump_agree_with_the_json(crashes):
    crash = crashes("o2", "null")
    lldb = shutil.which("lldb")
    assert lldb, "lldb is missing: scripts/bootstrap.sh installs it"
    listed = subprocess.run([lldb, "--batch", "-c", str(crash.folder / "crash.dmp"),
                             "-o", "thread list"], capture_output=True, text=True, timeout=120,
                            env=dict(os.environ, PYTHONPATH=LLDB_PYTHON))
    match = re.search(r"\* thread #\d+: tid = (0x[0-9a-f]+), (0x[0-9a-f]+) ", listed.stdout)
    assert match, listed.stdout + listed.stderr
    assert int(match.group(1), 16) == crash.report["process"]["crashThreadId"]
    assert int(match.group(2), 16) == int(crash.report["registers"]["eip"], 16)


def test_an_uncaught_cxx_exception_names_its_type(crashes):
    crash = crashes("cpp", "throw")
    assert crash.outcome.exit_code == CRASH_EXIT, crash.outcome
    exception = crash.report["exception"]
    # The host's own run-time calls its own terminate, which aborts; the library's terminate
    # hook is reached only by code that shares the library's run-time.
    assert exception["handlerBody"] in ("OnTerminate", "OnSigAbrt")
    assert exception["cxxExceptionType"] == "std::runtime_error"
    assert exception["reason"] == "uncaught C++ exception std::runtime_error (terminate)"
    assert "  Reason:         uncaught C++ exception std::runtime_error (terminate)" in crash.text
    assert any(n.startswith("__cxa_throw") for n in names(crash.crashed_frames()))
    assert exception["cxxWhat"] == "level missing: forest"
    assert "  C++ what():     level missing: forest" in crash.text


# (mode, type named, what() text the report must show: None where it lives in code, not data)
THROWN = [
    ("utf8", "std::runtime_error", "niveau manquant:\nforêt – 森林 🌲 \ufffd!"),
    ("range", "std::out_of_range", "tile 900 of 640"),
    ("mixed", "game::SaveFailed", "save slot 3: disk full"),
    ("long", "std::runtime_error", "x" * 1023),
    ("custom", "game::ShaderFault", None),
    ("plain", "game::ErrorCode", None),
]


@pytest.mark.parametrize("mode,thrown_type,what", THROWN, ids=[t[0] for t in THROWN])
def test_an_uncaught_cxx_exception_shows_its_message_when_the_object_holds_it(
        crashes, mode, thrown_type, what):
    crash = crashes("cpp", mode)
    assert crash.outcome.exit_code == CRASH_EXIT, crash.outcome
    exception = crash.report["exception"]
    assert exception["cxxExceptionType"] == thrown_type
    assert exception["cxxWhat"] == what
    if what is None:
        assert "C++ what():" not in crash.text
    else:
        # A line break in the message would forge a line of the text report.
        assert f"  C++ what():     {what.replace(chr(10), ' ')}\n" in crash.text
    # abort's caller is libstdc++'s terminate handler, whose call to abort lies in its cold
    # part, with no function symbol of its own: it is named after its section, not after main.
    frames = names(crash.crashed_frames())
    at_abort = index_of(crash.crashed_frames(), "abort")
    assert at_abort is not None, frames
    listing = subprocess.run(["i686-w64-mingw32-nm", str(TEST_BIN_DIR / "game_host_cpp.exe")],
                             capture_output=True, text=True, check=True).stdout
    cold = next(int(line.split()[0], 16) for line in listing.splitlines()
                if line.endswith(" .text.unlikely._ZN9__gnu_cxx27__verbose_terminate_handlerEv"))
    caller = crash.crashed_frames()[at_abort + 1]
    host = TEST_BIN_DIR / "game_host_cpp.exe"
    image_base = pefile.PE(str(host), fast_load=True).OPTIONAL_HEADER.ImageBase
    offset = image_base + int(caller["offset"], 16) - cold
    assert 0 < offset < 0x200, (caller, hex(cold))
    assert frames[at_abort + 1:at_abort + 3] == [
        f"__gnu_cxx::__verbose_terminate_handler() [clone .cold]+0x{offset:X}",
        "__cxxabiv1::__terminate(void (*)())+0x7"], frames


# (build, mode, the signature's first entries): the library, the run-time and the system are
# passed over, and names carry no offsets.
SIGNATURES = [
    ("o2", "null", ["game_host_o2.exe!LoadLevel", "game_host_o2.exe!main"]),
    ("debug", "null", ["game_host_debug.exe!LoadLevel", "game_host_debug.exe!main"]),
    ("o2", "abort", ["game_host_o2.exe!main"]),
    ("stripped", "null", ["game_host_stripped.exe!<unknown>"]),
]


@pytest.mark.parametrize("build,mode,first", SIGNATURES)
def test_the_signature_names_the_first_frames_of_the_hosts_own_code(crashes, build, mode, first):
    crash = crashes(build, mode)
    signature = crash.report["signature"]
    parts = signature.split(" | ")
    assert parts[:len(first)] == first, signature
    assert 1 <= len(parts) <= 3
    assert not re.search(r"\+0x|0x[0-9A-F]{8}|Vessick|msvcrt|kernel32|ntdll", signature)
    assert f"  Signature:      {signature}\n" in crash.text
