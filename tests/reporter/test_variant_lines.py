"""Every frame of a crash named at the line addr2line gives, for each way a host is built.

For each build of game_host.c below, the host crashes (a write through a null pointer in
LoadLevel) and orlent.exe reports it. Every frame of the crashing thread that the report gives
a file for must have exactly the file, line and inlined calls that `addr2line -f -i` gives on
the unstripped copy of the host, at the frame's address (the innermost frame) or at its return
address minus one (every caller). A host stripped with plain `strip` has its debug file in a
symbol store named by orlent.ini's symbol_path. With dbghelp's symbol functions switched off
(ORLENT_TEST_NO_DBGHELP_SYMBOLS=1) every address is named the same.
"""
import json
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

from winproc import BIN_DIR, TEST_BIN_DIR, run, winpath

CRASH_EXIT = 4660
SOURCE = Path(__file__).with_name("game_host.c")
FAULT_LINE = next(i for i, line in enumerate(SOURCE.read_text().splitlines(), 1)
                  if "FAULT_LINE" in line)

# (build, where its DWARF is: "own" file, or a "store" named by symbol_path)
VARIANTS = [
    ("debug", "own"),        # -O0 -g -gdwarf-4
    ("dwarf5", "own"),       # -O0 -g (GCC 12: DWARF 5)
    ("o2_lines", "own"),     # -O2 -g -fomit-frame-pointer
    ("strip_debug", None),   # -O2 -g, then strip --strip-debug: symbol table names, no lines
    ("store", "store"),      # -O2 -g, debug file kept apart, then plain strip
]


def image_fields(path):
    import struct
    data = path.read_bytes()
    nt = struct.unpack_from("<I", data, 0x3C)[0]
    stamp = struct.unpack_from("<I", data, nt + 8)[0]
    base = struct.unpack_from("<I", data, nt + 24 + 28)[0]
    size = struct.unpack_from("<I", data, nt + 24 + 56)[0]
    return stamp, base, size


def demangle(name):
    if not re.fullmatch(r"Z[NL0-9].*", name):
        return name
    return subprocess.run(["i686-w64-mingw32-c++filt", "__" + name], capture_output=True,
                          text=True, check=True).stdout.strip()


def addr2line(oracle, address):
    """[(function, file, line)] innermost first."""
    output = subprocess.run(["i686-w64-mingw32-addr2line", "-f", "-i", "-e", str(oracle),
                             hex(address)], capture_output=True, text=True, check=True).stdout
    lines = output.splitlines()
    chain = []
    for function, place in zip(lines[0::2], lines[1::2]):
        file, _, number = place.rpartition(":")
        number = number.split(" ")[0]
        chain.append((demangle(function), file, int(number) if number.isdigit() else 0))
    return chain


class Crash:
    def __init__(self, build, reporter_dir, env=None):
        self.scratch = Path(tempfile.mkdtemp(prefix="orlent-lines-"))
        reports = self.scratch / "reports"
        facts = self.scratch / "facts.txt"
        environment = {"ORLENT_REPORTS_DIR": winpath(reports)}
        environment.update(env or {})
        self.outcome = run(TEST_BIN_DIR / f"game_host_{build}.exe", "null", winpath(reporter_dir),
                           winpath(facts), timeout=90, env=environment)
        folders = sorted(reports.iterdir()) if reports.exists() else []
        assert len(folders) == 1, (folders, self.outcome)
        self.report = json.loads((folders[0] / "report.json").read_text(encoding="utf-8"))
        shutil.rmtree(self.scratch, ignore_errors=True)

    def frames(self):
        thread = self.report["threads"][0]
        assert thread["crashed"] is True
        return thread["frames"]


@pytest.fixture(scope="module")
def reporter_with_store():
    """bin/ copied with an orlent.ini whose symbol_path names a store holding the stripped
    host's debug file as NAME/ID/NAME."""
    scratch = Path(tempfile.mkdtemp(prefix="orlent-store-"))
    bin_copy = scratch / "bin"
    shutil.copytree(BIN_DIR, bin_copy)
    host = TEST_BIN_DIR / "game_host_store.exe"
    stamp, _, size = image_fields(host)
    store = scratch / "store"
    entry = store / host.name / f"{stamp:08X}{size:x}"
    entry.mkdir(parents=True)
    shutil.copy(TEST_BIN_DIR / "game_host_symbols" / "game_host_store.debug", entry / host.name)
    (bin_copy / "orlent.ini").write_text(
        f"[symbols]\nsymbol_path = {winpath(scratch / 'nothing-here')};{winpath(store)}\n")
    yield bin_copy
    shutil.rmtree(scratch, ignore_errors=True)


@pytest.fixture(scope="module")
def crashes(reporter_with_store):
    made = {}

    def crash(build, dbghelp=True):
        key = (build, dbghelp)
        if key not in made:
            reporter = reporter_with_store if build == "store" else BIN_DIR
            env = {} if dbghelp else {"ORLENT_TEST_NO_DBGHELP_SYMBOLS": "1"}
            made[key] = Crash(build, reporter, env)
        return made[key]
    return crash


def check_lines(crash, build):
    oracle = TEST_BIN_DIR / f"game_host_{build}.oracle.exe"
    if not oracle.exists():  # a build that is not stripped is its own oracle
        oracle = TEST_BIN_DIR / f"game_host_{build}.exe"
    _, image_base, _ = image_fields(oracle)
    checked = 0
    for index, frame in enumerate(crash.frames()):
        if frame["module"] != f"game_host_{build}.exe" or frame["file"] is None:
            continue
        offset = int(frame["offset"], 16) - (0 if frame["source"] == "context" else 1)
        chain = addr2line(oracle, image_base + offset)
        ours = [(i["function"], i["file"], i["line"]) for i in frame["inlined"]]
        ours.append((frame["function"], frame["file"], frame["line"]))
        assert [(file, line) for _, file, line in ours] == \
            [(file, line) for _, file, line in chain], (index, frame, chain)
        # Inlined calls carry addr2line's names; the outer function its symbol's full name.
        assert [name for name, _, _ in ours[:-1]] == [name for name, _, _ in chain[:-1]]
        assert re.match(rf"(.*::)?{re.escape(chain[-1][0])}(\(.*\))?\+0x", frame["function"]), \
            (frame, chain)
        checked += 1
    return checked


@pytest.mark.parametrize("build,dwarf", VARIANTS)
def test_every_frame_with_a_file_has_addr2lines_line(crashes, build, dwarf):
    crash = crashes(build)
    assert crash.outcome.exit_code == CRASH_EXIT, crash.outcome
    frames = crash.frames()
    names = [f["function"] or "" for f in frames]
    assert names[0].startswith("LoadLevel+"), names
    checked = check_lines(crash, build)
    if dwarf is None:
        assert checked == 0, frames[:3]
        return
    # The fault's line, and at least its caller's.
    assert frames[0]["line"] == FAULT_LINE, frames[0]
    assert crash.report["exception"]["line"] == FAULT_LINE
    assert checked >= 2, frames[:4]


@pytest.mark.parametrize("build,dwarf", VARIANTS)
def test_without_dbghelps_symbol_functions_the_names_are_the_same(crashes, build, dwarf):
    with_dbghelp = crashes(build)
    without = crashes(build, dbghelp=False)
    assert without.outcome.exit_code == CRASH_EXIT, without.outcome
    def shown(crash):
        return [(f["address"], f["function"], f["file"], f["line"], f["inlined"])
                for f in crash.frames()]
    # The walk reads the modules' call frame information itself: the same frames, named alike.
    assert shown(without) == shown(with_dbghelp)
    assert check_lines(without, build) >= (0 if dwarf is None else 1)


def test_the_examples_report_names_the_line_of_the_call_to_load_level():
    examples = BIN_DIR.parent / "examples"
    source = BIN_DIR.parent.parent / "examples" / "example_host.cpp"
    call_line = next(i for i, line in enumerate(source.read_text().splitlines(), 1)
                     if 'failure == "access-violation") LoadLevel();' in line)
    scratch = Path(tempfile.mkdtemp(prefix="orlent-example-"))
    try:
        outcome = run(examples / "example_host.exe", "access-violation", timeout=90,
                      env={"ORLENT_REPORTS_DIR": winpath(scratch)})
        folders = sorted(scratch.iterdir())
        assert len(folders) == 1, outcome
        report = json.loads((folders[0] / "report.json").read_text(encoding="utf-8"))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    frames = report["threads"][0]["frames"]
    caller = next(f for f in frames if (f["function"] or "").startswith("main+"))
    _, image_base, _ = image_fields(examples / "example_host.exe")
    chain = addr2line(examples / "example_host.exe", image_base + int(caller["offset"], 16) - 1)
    assert caller["line"] == chain[-1][2] == call_line, (caller, chain)


def test_a_report_named_afterwards_from_the_store_has_every_line(reporter_with_store):
    """The plainly stripped host's report, written where no debug file was to be found, named
    by `orlent /symbolize FOLDER STORE` as the report written beside the store is."""
    scratch = Path(tempfile.mkdtemp(prefix="orlent-symbolize-"))
    try:
        outcome = run(TEST_BIN_DIR / "game_host_store.exe", "null", winpath(BIN_DIR),
                      winpath(scratch / "facts.txt"), timeout=90,
                      env={"ORLENT_REPORTS_DIR": winpath(scratch / "reports")})
        (folder,) = (scratch / "reports").iterdir()
        before = json.loads((folder / "report.json").read_text(encoding="utf-8"))
        assert all(f["file"] is None for f in before["threads"][0]["frames"]
                   if f["module"] == "game_host_store.exe"), outcome
        dump = (folder / "crash.dmp").read_bytes()

        store = reporter_with_store.parent / "store"
        named = run(BIN_DIR / "orlent.exe", "/symbolize", winpath(folder), winpath(store),
                    timeout=60)
        assert named.exit_code == 0, named
        assert b"frames named" in named.stdout
        after = type("Named", (), {})()
        after.report = json.loads((folder / "report.json").read_text(encoding="utf-8"))
        after.frames = lambda: after.report["threads"][0]["frames"]
        assert check_lines(after, "store") >= 2
        assert after.frames()[0]["line"] == FAULT_LINE
        assert after.report["exception"]["line"] == FAULT_LINE
        text = (folder / "report.txt").read_text(encoding="utf-8")
        assert f"game_host.c:{FAULT_LINE}" in text
        assert re.search(r"^  Source: +\S*game_host\.c:%d\r?$" % FAULT_LINE, text, re.M), text
        # Everything else stays: the dump, the other fields, no file half written.
        assert (folder / "crash.dmp").read_bytes() == dump
        renamed = ("threads", "exception", "stack", "signature")
        assert {k: v for k, v in after.report.items() if k not in renamed} == \
            {k: v for k, v in before.items() if k not in renamed}
        assert after.report["signature"].startswith("game_host_store.exe!LoadLevel"), after.report
        assert f"Signature:      {after.report['signature']}" in text
        assert sorted(p.name for p in folder.iterdir()) == ["crash.dmp", "report.json",
                                                            "report.txt"]
        # A second run finds the same names and changes nothing.
        again = run(BIN_DIR / "orlent.exe", "/symbolize", winpath(folder), winpath(store))
        assert again.exit_code == 0
        assert json.loads((folder / "report.json").read_text(encoding="utf-8")) == after.report
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
