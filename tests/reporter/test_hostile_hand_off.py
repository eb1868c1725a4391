"""orlent.exe against hostile hand-offs and a reports root it cannot write to.

A Windows driver (hostile_hand_off.exe) makes the hand-offs itself, a few hundred of them from a
fixed seed, and checks exit codes, hangs and the event for each; this side checks what they
left on disk.
"""
import json
import re
import shutil
import tempfile
from pathlib import Path

import pytest

from winproc import BIN_DIR, BUILD_DIR, TEST_BIN_DIR, run, winpath

SEED = 4660
CASES = 300
REPORT_FILES = {"crash.dmp", "report.txt", "report.json"}


@pytest.fixture
def scratch():
    folder = Path(tempfile.mkdtemp(prefix="orlent-hostile-"))
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


def test_hostile_hand_offs_neither_crash_nor_hang_and_release_the_host(scratch):
    reports, cwd = scratch / "reports", scratch / "cwd"
    cwd.mkdir()
    outcome = run(TEST_BIN_DIR / "hostile_hand_off.exe", "fuzz", SEED, CASES,
                  winpath(BIN_DIR / "orlent.exe"), timeout=240, cwd=cwd,
                  env={"ORLENT_REPORTS_DIR": winpath(reports)})
    output = outcome.stdout.decode(errors="replace")
    assert outcome.exit_code == 0, output + outcome.stderr.decode(errors="replace")
    summary = re.search(r"cases=(\d+) failed=0 reports=(\d+)", output)
    assert summary and int(summary[1]) == CASES, output
    made = int(summary[2])
    assert made > CASES // 3

    # One folder per report up to the root's limit of 50 (the newest), nothing else anywhere,
    # every file whole.
    assert list(cwd.iterdir()) == []
    assert sorted(p.name for p in scratch.iterdir()) == ["cwd", "reports"]
    folders = list(reports.iterdir())
    assert len(folders) == min(made, 50)
    complete = 0
    for folder in folders:
        names = {p.name for p in folder.iterdir()}
        assert {"report.txt", "report.json"} <= names <= REPORT_FILES, (folder, names)
        report = json.loads((folder / "report.json").read_text(encoding="utf-8"))
        assert report["complete"] == (report["problems"] == [])
        assert ("crash.dmp" in names) == (report["minidump"]["status"] == "written")
        text = (folder / "report.txt").read_text(encoding="utf-8")
        assert ("INCOMPLETE" in text) == (not report["complete"])
        complete += report["complete"]
    assert 0 < complete < len(folders)


# The fuzz run's root keeps only its 50 newest reports, so the block's own wish is checked
# here, one sound hand-off in a root of its own.
@pytest.mark.parametrize("wish, files, dump_status", [
    ([], REPORT_FILES, "written"),
    (["nodump"], {"report.txt", "report.json"}, "not requested"),
])
def test_a_sound_block_gets_a_complete_report_with_the_dump_it_asks_for(scratch, wish, files,
                                                                        dump_status):
    reports = scratch / "reports"
    outcome = run(TEST_BIN_DIR / "hostile_hand_off.exe", "once", winpath(BIN_DIR / "orlent.exe"),
                  *wish, timeout=60, env={"ORLENT_REPORTS_DIR": winpath(reports)})
    output = outcome.stdout.decode(errors="replace")
    assert outcome.exit_code == 0 and "exit=0 event=set" in output, output
    [folder] = reports.iterdir()
    assert {p.name for p in folder.iterdir()} == files
    report = json.loads((folder / "report.json").read_text(encoding="utf-8"))
    assert report["complete"] and report["problems"] == [], report["problems"]
    assert report["minidump"]["status"] == dump_status
    assert (folder / "report.txt").read_text(encoding="utf-8").startswith(
        "Crash report written by orlent")


@pytest.mark.parametrize("root", ["file/reports", "bad|name"])
def test_a_root_that_cannot_be_written_falls_back_to_the_default_root(scratch, root):
    (scratch / "file").write_text("a file where a folder would be")
    outcome = run(TEST_BIN_DIR / "hostile_hand_off.exe", "once", winpath(BIN_DIR / "orlent.exe"),
                  timeout=60, env={"ORLENT_REPORTS_DIR": winpath(scratch) + "\\" +
                                   root.replace("/", "\\")})
    output = outcome.stdout.decode(errors="replace")
    assert outcome.exit_code == 0, output
    assert "exit=0 event=set" in output, output
    assert re.search(r"orlent: ORLENT_REPORTS_DIR \(.+\) cannot be used: .*(is not a folder|"
                     r"CreateDirectoryW failed: .+ \(error \d+\)).*; the report went to the "
                     r"default reports root", output), output
    match = re.search(r"orlent: crash report written to (C:\\users\\[^\\]+\\AppData\\Local\\"
                      r"Vessick\\CrashReports\\\S+)", output)
    assert match, output
    shutil.rmtree(BUILD_DIR / "wineprefix" / "drive_c" / match[1][3:].replace("\\", "/"),
                  ignore_errors=True)
    assert sorted(p.name for p in scratch.iterdir()) == ["file"]


def test_reports_go_to_local_app_data_by_default(monkeypatch):
    monkeypatch.delenv("ORLENT_REPORTS_DIR", raising=False)
    outcome = run(TEST_BIN_DIR / "hostile_hand_off.exe", "once", winpath(BIN_DIR / "orlent.exe"),
                  timeout=60)
    output = outcome.stdout.decode(errors="replace")
    assert "exit=0 event=set" in output, output
    match = re.search(r"orlent: crash report written to (C:\\users\\[^\\]+\\AppData\\Local\\"
                      r"Vessick\\CrashReports\\\S+)", output)
    assert match, output
    folder = BUILD_DIR / "wineprefix" / "drive_c" / match[1][3:].replace("\\", "/")
    try:
        assert {p.name for p in folder.iterdir()} == REPORT_FILES
        assert json.loads((folder / "report.json").read_text(encoding="utf-8"))["complete"]
    finally:
        shutil.rmtree(folder, ignore_errors=True)
