"""What Vessick.dll leaves in a host: no vectored handler for merely being loaded, one for any
number of InitOrlent calls, and nothing after FreeLibrary, where the host's own handling of
exceptions and signals is back.

Each case runs unload_host, which loads the shipped DLL at run time, in a fresh process."""
import shutil
import tempfile
from pathlib import Path

import pytest

from crash_report_files import read_key_values
from winproc import TEST_BIN_DIR, run, winpath

ACCESS_VIOLATION = 0xC0000005


@pytest.fixture
def scratch():
    folder = Path(tempfile.mkdtemp(prefix="unload-"))
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


def run_case(case, scratch):
    outcome = run(TEST_BIN_DIR / "unload_host.exe", case, winpath(scratch / "facts.txt"),
                  timeout=60)
    facts = {k: int(v, 16) for k, v in read_key_values(scratch / "facts.txt").items()}
    return outcome, facts


def test_vectored_registrations(scratch):
    outcome, facts = run_case("vectored-count", scratch)
    assert outcome.exit_code == 0, outcome
    baseline = facts["before_load"]
    assert facts["loaded"] == baseline            # loading registers nothing
    assert facts["after_one_init"] == baseline + 1
    assert facts["after_ten_inits"] == baseline + 1
    assert facts["unloaded"] == 1
    assert facts["after_unload"] == baseline


# After FreeLibrary: (case, exit code of the host's or the platform's own handling).
AFTER_UNLOAD = [
    ("handled-after-unload", 0),            # IsBadReadPtr catches its own fault
    ("fault-host-filter", 77),              # the filter the host had before InitOrlent
    ("abort-host-signal", 78),              # the SIGABRT action the host had
    ("fault-no-host-filter", ACCESS_VIOLATION),  # the platform's own last chance
]


@pytest.mark.parametrize("case,exit_code", AFTER_UNLOAD)
def test_after_unload_the_hosts_own_handling_is_back(scratch, case, exit_code):
    outcome, facts = run_case(case, scratch)
    assert facts["unloaded"] == 1
    assert outcome.exit_code == exit_code, outcome
    assert b"came back" not in outcome.stderr
    if case == "handled-after-unload":
        assert facts["bad_pointer_unreadable"] == 1
