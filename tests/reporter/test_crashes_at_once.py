"""Many hosts crashing at once into one reports root.

A root already holding 60 finished reports takes 20 crashes of the end-to-end host at the same
time, each reported by its own real orlent.exe. However the reporters interleave, the root
keeps exactly its 50 reports: the 30 oldest are gone, and all 20 new ones are whole.
"""
import json
import shutil
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from winproc import BIN_DIR, TEST_BIN_DIR, run, winpath

CRASH_EXIT = 4660
OLD = 60
HOSTS = 20
KEPT = 50


@pytest.fixture
def root():
    scratch = Path(tempfile.mkdtemp(prefix="orlent-at-once-"))
    yield scratch
    shutil.rmtree(scratch, ignore_errors=True)


def old_report(folder: Path):
    folder.mkdir(parents=True)
    (folder / "crash.dmp").write_bytes(b"MDMP")
    (folder / "report.json").write_text(json.dumps({"format": "orlent-crash-report/1"}))
    (folder / "report.txt").write_text("an old report")


def test_twenty_crashes_at_once_keep_exactly_the_limit(root):
    reports = root / "reports"
    old = [f"2020-01-01_00{i // 60:02}{i % 60:02}.000_p1" for i in range(OLD)]
    for name in old:
        old_report(reports / name)
    (reports / "notes").mkdir()

    def crash(i):
        return run(TEST_BIN_DIR / "end_to_end_host.exe", "access-violation", winpath(BIN_DIR),
                   winpath(root / f"facts{i}.txt"), timeout=120,
                   env={"ORLENT_REPORTS_DIR": winpath(reports)})

    started = time.monotonic()
    with ThreadPoolExecutor(HOSTS) as pool:
        outcomes = list(pool.map(crash, range(HOSTS)))
    elapsed = time.monotonic() - started

    assert [o.exit_code for o in outcomes] == [CRASH_EXIT] * HOSTS, outcomes
    printed = [o.stdout.decode().strip().rsplit("\\", 1)[-1] for o in outcomes]
    assert all(o.stdout.decode().startswith("orlent: crash report written to ") for o in outcomes)
    assert len(set(printed)) == HOSTS
    assert not [o.stderr for o in outcomes if o.stderr], "no reporter had a problem"

    left = sorted(p.name for p in reports.iterdir())
    assert "notes" in left
    folders = [n for n in left if n != "notes"]
    assert len(folders) == KEPT, (len(folders), folders)
    # The oldest went, and nothing younger than a reporter's own report.
    assert folders == sorted(old[OLD + HOSTS - KEPT:] + printed)
    for name in printed:
        folder = reports / name
        assert sorted(p.name for p in folder.iterdir()) == \
            ["crash.dmp", "report.json", "report.txt"], name
        report = json.loads((folder / "report.json").read_text(encoding="utf-8"))
        assert report["complete"] is True, report["problems"]
        assert (folder / "crash.dmp").read_bytes()[:4] == b"MDMP"
    print(f"{HOSTS} crashes at once reported in {elapsed:.1f} s")
    assert elapsed < 60, elapsed
