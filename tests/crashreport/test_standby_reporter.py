"""The reporter that waits from InitOrlent on: the faults that used to lose the report because
starting a process at the fault needs the process heap, and the standby's own life.

The heap and abort cases run crash_host against the real orlent.exe (which supports the
standby); the text case against the test reporter (which does not, so the crash path falls back
to starting it at the fault) so that the block's strings can be read exactly.
"""
import json
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from crash_report_files import Report, read_key_values
from winproc import BIN_DIR, BUILD_DIR, TEST_BIN_DIR, WINE_RUN, run, winpath

CRASH_EXIT = 4660
ACCESS_VIOLATION = 0xC0000005
TEST_REPORTER_DIR = BUILD_DIR / "tests" / "test_reporter"


@pytest.fixture
def scratch():
    folder = Path(tempfile.mkdtemp(prefix="standby-"))
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


class RealCrash:
    """crash_host failing in the named way, reported by the real orlent.exe."""

    def __init__(self, failure, scratch):
        self.reports = scratch / "reports"
        started = time.monotonic()
        self.outcome = run(TEST_BIN_DIR / "crash_host.exe", failure, winpath(BIN_DIR),
                           winpath(scratch / "facts.txt"), timeout=60,
                           env={"ORLENT_REPORTS_DIR": winpath(self.reports)})
        self.seconds = time.monotonic() - started
        self.facts = {k: int(v, 16) for k, v in read_key_values(scratch / "facts.txt").items()}
        self.folders = sorted(self.reports.iterdir()) if self.reports.exists() else []

    def one_whole_report(self):
        assert self.outcome.exit_code == CRASH_EXIT, self.outcome
        assert len(self.folders) == 1, self.folders
        folder = self.folders[0]
        assert sorted(p.name for p in folder.iterdir()) == ["crash.dmp", "report.json",
                                                            "report.txt"]
        report = json.loads((folder / "report.json").read_text(encoding="utf-8"))
        assert report["complete"] is True and report["problems"] == [], report["problems"]
        # The reporter's line reached the host's own output, as a reporter started at the fault
        # writes it.
        assert self.outcome.stdout.decode().splitlines() == \
            [f"orlent: crash report written to {winpath(folder)}"]
        return report


# (failure, what the fault looks like). Without the standby (a reporter started at the fault),
# under Wine 8: the overrun still got its report, use after free and the fault inside HeapAlloc
# ended with C0000005 and no report (starting the reporter faulted again), the idle lock holder
# hung the host for ever and the faulting one for the parked thread's 120 s.
HEAP_CASES = [
    ("heap-overrun", "crash_host.exe"),
    ("use-after-free", "crash_host.exe"),
    ("fault-inside-heap-alloc", "ntdll.dll"),   # Wine's heap follows the damaged links
    ("heap-locked-idle", "crash_host.exe"),
    ("heap-locked-holder-faults", "crash_host.exe"),
]


@pytest.mark.parametrize("failure,module", HEAP_CASES)
def test_a_fault_on_a_damaged_or_locked_heap_gets_one_whole_report(scratch, failure, module):
    crash = RealCrash(failure, scratch)
    report = crash.one_whole_report()
    assert crash.seconds < 10
    exception = report["exception"]
    assert int(exception["code"], 16) == ACCESS_VIOLATION
    assert exception["module"] == module
    assert report["process"]["crashThreadId"] == crash.facts["main_thread_id"]
    if failure == "fault-inside-heap-alloc":
        assert "heap_alloc_came_back" not in crash.facts


@pytest.mark.parametrize("failure", ["two-aborts-at-once", "two-aborts-30ms-apart"])
def test_two_threads_aborting_give_one_report(scratch, failure):
    # Without re-arming, the second abort() found SIGABRT back at its default and ended the
    # process with exit code 3 under the reporter.
    crash = RealCrash(failure, scratch)
    report = crash.one_whole_report()
    assert crash.seconds < 10
    assert int(report["exception"]["code"], 16) == 0   # built at the call in OnSigAbrt
    assert report["process"]["crashThreadId"] != crash.facts["main_thread_id"]
    assert b"came back" not in crash.outcome.stderr


def test_damaged_utf8_texts_become_replacement_characters_and_end(scratch):
    out = scratch / "out"
    out.mkdir()
    outcome = run(TEST_BIN_DIR / "crash_host.exe", "cut-utf8-texts", winpath(TEST_REPORTER_DIR),
                  winpath(scratch / "facts.txt"), timeout=60,
                  env={"TEST_REPORTER_OUT": winpath(out)})
    assert outcome.exit_code == CRASH_EXIT, outcome
    reports = sorted(out.glob("report-*.txt"))
    assert len(reports) == 1
    texts = [b"\xE5\xB4\xA9\xE6\xBA", b"a\xC0\xAFz", b"\xED\xA0\x80!", b"ok\xF0\x9F\x98"]
    report = Report.load(reports[0])
    # Python's decoder is the oracle: it replaces each maximal ill-formed subpart, as the
    # Unicode standard recommends.
    assert report.strings[:4] == [t.decode("utf-8", "replace") for t in texts]
    assert report.strings[:4] == ["\u5d29\ufffd", "a\ufffd\ufffdz", "\ufffd\ufffd\ufffd!",
                                  "ok\ufffd"]
    # Every text ends where it should: the block holds the five strings and nothing after.
    area = report.bytes("strings").decode("utf-16-le")
    assert area.endswith("\0") and area.count("\0") == 5
    assert area.split("\0")[4].endswith("\\crash_host.exe")


def test_a_standby_that_died_before_the_fault_is_replaced_at_the_fault(scratch):
    crash = RealCrash("standby-ended-then-fault", scratch)
    assert crash.facts["standbys_ended"] == 1
    report = crash.one_whole_report()
    assert int(report["exception"]["code"], 16) == ACCESS_VIOLATION


# A standby that never says it is ready is given 5 s, then ended; one that ends at the fault
# without setting the done event is replaced at once. Either way the test reporter, started at
# the fault, writes the one report.
@pytest.mark.parametrize("mode,seconds", [("standby-silent", (5, 15)), ("standby-dies", (0, 10))])
def test_a_broken_standby_is_replaced_by_a_reporter_started_at_the_fault(scratch, mode, seconds):
    started = time.monotonic()
    outcome = run(TEST_BIN_DIR / "crash_host.exe", "access-violation", winpath(TEST_REPORTER_DIR),
                  winpath(scratch / "facts.txt"), timeout=60,
                  env={"TEST_REPORTER_OUT": winpath(scratch), "TEST_REPORTER_MODE": mode})
    elapsed = time.monotonic() - started
    assert outcome.exit_code == CRASH_EXIT, outcome
    assert (scratch / "standby.log").read_text().split() == [mode]
    assert len((scratch / "starts.log").read_text().split()) == 1
    reports = sorted(scratch.glob("report-*.txt"))
    assert len(reports) == 1
    report = Report.load(reports[0])
    assert report.values["command_line"].startswith("orlent /buginfo:")
    assert report.header.exception_code == ACCESS_VIOLATION
    assert seconds[0] <= elapsed < seconds[1]


def run_unload_host(case, scratch, reporter_dir=BIN_DIR):
    outcome = run(TEST_BIN_DIR / "unload_host.exe", case, winpath(scratch / "facts.txt"),
                  winpath(reporter_dir), timeout=60)
    facts = {k: int(v, 16) for k, v in read_key_values(scratch / "facts.txt").items()}
    return outcome, facts


def test_one_standby_however_often_initorlent_runs_and_unloading_ends_it(scratch):
    outcome, facts = run_unload_host("standby-unload", scratch)
    assert outcome.exit_code == 0, outcome
    assert facts["standbys"] == 1 and facts["standby_running"] == 1
    assert facts["unloaded"] == 1
    assert facts["ended_at_unload"] == 1 and facts["standby_exit_code"] == 0
    assert facts["standbys_after_unload"] == 0


def test_the_standby_ends_when_its_host_ends(scratch):
    outcome, facts = run_unload_host("standby-host-ends", scratch)
    assert outcome.exit_code == 0, outcome
    assert facts["host_exit_code"] == 0
    assert facts["standby_pid"] != 0 and facts["standby_ended"] == 1


def test_a_parent_reading_the_hosts_output_gets_its_end(scratch):
    # A Unix parent with pipes on the host's standard handles: the pipes must close when the host
    # ends, although the standby the host started had been running all along.
    started = time.monotonic()
    completed = subprocess.run(
        [str(WINE_RUN), str(TEST_BIN_DIR / "unload_host.exe"), "init-and-exit",
         winpath(scratch / "facts.txt"), winpath(BIN_DIR)],
        stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    assert completed.returncode == 0, completed
    assert completed.stdout.split() == [b"initialised"]
    assert time.monotonic() - started < 15
    assert read_key_values(scratch / "facts.txt")["standbys"] == "1"
