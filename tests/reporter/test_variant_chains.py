"""The crashing thread's chain of callers, for the host built each way a team builds it.

Each variant of game_host.c crashes in a named way; the real orlent.exe walks the stack. The
oracle is the toolchain's nm on the unstripped build: every caller's return address
minus one must lie in the expected function, in order, found by unwinding (never a scan), and
the walk must give the very same frames with dbghelp's symbol functions off.
"""
import bisect
import json
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

from winproc import BIN_DIR, TEST_BIN_DIR, run, winpath

CRASH_EXIT = 4660
NM = "i686-w64-mingw32-nm"

# variant -> the build addr2line reads (None: the variant itself)
VARIANTS = {
    "o2": None,
    "debug": None,
    "dwarf5": None,
    "stripdebug": None,
    "plainstrip": "game_host_plainstrip.unstripped.exe",
}
CHAINS = {
    "null": ["LoadLevel", "main"],
    "epilogue": ["UploadTexture", "StreamLevel", "main"],
    "divide": ["ScoreRatio", "main"],
    "thread": ["LoadLevel", "CrashingThread"],
}
CASES = [(v, m) for v in VARIANTS for m in CHAINS]


def crash(variant, mode, env=None):
    scratch = Path(tempfile.mkdtemp(prefix="orlent-chain-"))
    try:
        reports = scratch / "reports"
        outcome = run(TEST_BIN_DIR / f"game_host_{variant}.exe", mode, winpath(BIN_DIR),
                      winpath(scratch / "facts.txt"), timeout=90,
                      env={"ORLENT_REPORTS_DIR": winpath(reports), **(env or {})})
        folders = sorted(reports.iterdir()) if reports.exists() else []
        assert len(folders) == 1, (folders, outcome)
        report = json.loads((folders[0] / "report.json").read_text(encoding="utf-8"))
        return outcome, report
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def function_table(exe):
    """The toolchain's own reading of the build's code symbols, sorted by address."""
    table = []
    out = subprocess.run([NM, "-n", str(exe)], check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1] in "tT" and not parts[2].startswith("."):
            name = parts[2][1:] if parts[2].startswith("_") else parts[2]
            table.append((int(parts[0], 16), name.split("@")[0]))
    return table


def host_functions(variant, frames, base):
    """nm's function for each frame of the host module, callers at return address - 1."""
    exe = TEST_BIN_DIR / (VARIANTS[variant] or f"game_host_{variant}.exe")
    assert base == 0x400000  # the host is an executable: never rebased
    table = function_table(exe)
    found = []
    for f in frames:
        address = int(f["address"], 16) - (0 if f["source"] == "context" else 1)
        at = bisect.bisect_right([a for a, _ in table], address) - 1
        found.append(table[at][1] if at >= 0 else "??")
    return found


@pytest.mark.parametrize("variant,mode", CASES)
def test_the_chain_of_callers_is_unwound_exactly(variant, mode):
    outcome, report = crash(variant, mode)
    assert outcome.exit_code & 0xFF == CRASH_EXIT & 0xFF, outcome
    thread = report["threads"][0]
    frames = thread["frames"]
    host = next(m for m in report["modules"] if m["name"] == f"game_host_{variant}.exe")
    base = int(host["base"], 16)
    in_host = [f for f in frames
               if base <= int(f["address"], 16) < base + host["size"]]
    expected = CHAINS[mode]
    assert host_functions(variant, in_host, base)[:len(expected)] == expected, frames
    # The host's frames follow each other without a gap: the first ones are the innermost.
    assert frames[:len(expected)] == in_host[:len(expected)] or mode == "thread", frames
    assert all(f["source"] != "scan" for f in frames), frames
    assert frames[0]["source"] == "context"
    assert all(f["source"] == "call frame info" for f in in_host[1:len(expected)]), frames
    addresses = [f["address"] for f in frames]
    assert all(a != b for a, b in zip(addresses, addresses[1:])), frames
    assert thread["endReason"], thread


@pytest.mark.parametrize("variant", ["o2", "plainstrip"])
def test_the_walk_needs_no_debugger_library(variant):
    _, with_dbghelp = crash(variant, "epilogue")
    _, without = crash(variant, "epilogue", env={"ORLENT_TEST_NO_DBGHELP_SYMBOLS": "1"})
    walk = lambda r: [(f["address"], f["source"]) for f in r["threads"][0]["frames"]]
    assert walk(without) == walk(with_dbghelp)
    assert without["threads"][0]["endReason"] == with_dbghelp["threads"][0]["endReason"]
