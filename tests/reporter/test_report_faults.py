"""Where the report goes when the disk or the reports root lets it down.

A crash of the small C host (game_host_o2) is reported by the real orlent.exe into a reports root
that is nearly full (a small tmpfs mapped as a Wine drive), or that names a file or a read-only
place. The report must never call itself complete with a file missing, must name a full disk as
such, and must say where it went when the chosen root could not be used.
"""
import json
import shutil
import tempfile
from contextlib import contextmanager
from pathlib import Path

import pytest

from small_drive import small_drive
from winproc import BIN_DIR, BUILD_DIR, TEST_BIN_DIR, run, winpath

CRASH_EXIT = 4660
HOST = TEST_BIN_DIR / "game_host_o2.exe"
DRIVE_SIZE_KB = 256


def crash(reports_dir: str, scratch: Path):
    return run(HOST, "null", winpath(BIN_DIR), winpath(scratch / "facts.txt"), timeout=90,
               env={"ORLENT_REPORTS_DIR": reports_dir})


def unix_path(windows_path: str) -> Path:
    """A path orlent printed, in Unix form (drive letters through the prefix's dosdevices)."""
    drive, rest = windows_path[:2], windows_path[3:]
    device = BUILD_DIR / "wineprefix" / "dosdevices" / drive.lower()
    return device.resolve() / rest.replace("\\", "/")


def printed_folder(outcome) -> Path:
    line = outcome.stdout.decode("utf-8", "replace").strip().splitlines()[-1]
    assert " written to " in line, outcome
    return unix_path(line.split(" written to ", 1)[1])


@pytest.fixture
def scratch():
    folder = Path(tempfile.mkdtemp(prefix="orlent-faults-"))
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


# Free space left on the drive before the crash. The small host's dump is about 8 KB (its
# faulting thread waits for a standby reporter, on a shallow stack), its JSON about 9 KB and its
# text about 3.5 KB, each taking whole 4 KB pages: these run out at the dump, at the JSON, and
# with room for the dump and the JSON only.
FREE_KB = [4, 8, 12, 16, 20]


@pytest.mark.parametrize("free_kb", FREE_KB)
def test_a_full_disk_is_named_and_no_report_calls_itself_complete(scratch, free_kb):
    with small_drive(f"size={DRIVE_SIZE_KB}k") as (drive, mount_point):
        (mount_point / "filler").write_bytes(b"\0" * ((DRIVE_SIZE_KB - free_kb) * 1024))
        outcome = crash(drive + "\\reports", scratch)
        assert outcome.exit_code == CRASH_EXIT, outcome
        output = (outcome.stdout + outcome.stderr).decode("utf-8", "replace")
        assert "(error 0)" not in output and "Success" not in output, output
        folders = list((mount_point / "reports").iterdir())
        assert len(folders) <= 1, folders
        files = {p.name: p for p in folders[0].iterdir()} if folders else {}
        assert not [n for n in files if n.endswith(".tmp")], files
        assert not {"crash.dmp", "report.json", "report.txt"} <= files.keys(), \
            "the drive was meant to run out"
        problems = []
        if "report.txt" in files:
            text = files["report.txt"].read_text(encoding="utf-8")
            assert text.splitlines()[1].startswith("INCOMPLETE"), text
            assert "(error 0)" not in text
            problems += [l[4:] for l in text.splitlines() if l.startswith("  - ")]
        if "report.json" in files:
            report = json.loads(files["report.json"].read_text(encoding="utf-8"))
            assert report["complete"] is False, files
            problems += report["problems"]
        if not problems:
            # Nothing readable was written: orlent says so and why.
            assert "cannot write the report" in output and "the disk is full" in output, output
            return
        assert "incomplete crash report written to" in output, output
        missing = {"crash.dmp": "no minidump: ", "report.json": "no report.json: ",
                   "report.txt": "no report.txt: "}
        for name, prefix in missing.items():
            if name in files:
                continue
            said = [p for p in problems if p.startswith(prefix)]
            assert said and all(p.startswith(prefix + "the disk is full") for p in said), problems
            assert not [p for p in said if "lies outside the file" in p.split("(", 1)[0]]


@contextmanager
def a_file():
    with tempfile.TemporaryDirectory(prefix="orlent-root-") as folder:
        path = Path(folder) / "not-a-folder"
        path.write_text("a file where the reports root should be")
        yield winpath(path)


@contextmanager
def a_read_only_drive():
    with small_drive("size=64k,ro") as (drive, _):
        yield drive + "\\reports"


@pytest.mark.parametrize("unusable", [a_file, a_read_only_drive], ids=["file", "read-only"])
def test_an_unusable_reports_root_falls_back_and_says_where_the_report_went(scratch, unusable):
    with unusable() as reports_dir:
        outcome = crash(reports_dir, scratch)
    folder = printed_folder(outcome)
    try:
        assert outcome.exit_code == CRASH_EXIT, outcome
        assert folder.parent.name == "CrashReports" and folder.parent.parent.name == "Vessick"
        assert "AppData" in str(folder), folder  # the default root, under %LOCALAPPDATA%
        report = json.loads((folder / "report.json").read_text(encoding="utf-8"))
        assert report["complete"] is True, report["problems"]
        note = report["reportsRootNote"]
        assert note.startswith(f"ORLENT_REPORTS_DIR ({reports_dir}) cannot be used: "), note
        assert note.endswith("the report went to the default reports root ("
                             + "\\".join(outcome.stdout.decode().split(" written to ")[1]
                                         .strip().split("\\")[:-1]) + ")"), note
        text = (folder / "report.txt").read_text(encoding="utf-8")
        assert "  Reports root:   " + note in text
        assert note in outcome.stderr.decode("utf-8", "replace")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        for parent in (folder.parent, folder.parent.parent):
            try:
                parent.rmdir()  # only when this test made it and left it empty
            except OSError:
                break


def test_a_crash_in_a_full_root_removes_the_oldest_report_that_is_not_queued(scratch):
    reports = scratch / "reports"
    old = [f"2020-01-01_0000{second:02}.000_p1" for second in range(10, 60)]  # 50 reports
    for name in old:
        (reports / name).mkdir(parents=True)
        (reports / name / "report.txt").write_text("an old report")
    (reports / "Outbox").mkdir()
    (reports / "Outbox" / f"{old[0]}.ini").write_text("queued")
    (reports / "notes").mkdir()
    outcome = crash(winpath(reports), scratch)
    assert outcome.exit_code == CRASH_EXIT, outcome
    new = printed_folder(outcome).name
    left = sorted(p.name for p in reports.iterdir())
    assert left == sorted([old[0]] + old[2:] + [new, "Outbox", "notes"]), left
