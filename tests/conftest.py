"""Settings for every pytest module of this repository.

A module runs by hand after a build, without CTest's environment
(`/usr/bin/python3 -m pytest tests/reporter/test_end_to_end.py`): the support modules are put on
the path and the default build folder is used unless BUILD_DIR names another.

Everything a test run writes to temporary folders (tempfile, tmp_path) goes into one folder per
run, removed when the run ends, whatever the outcome: a run leaves nothing behind in the
machine's temporary folder. TMPDIR stays as it is: Wine finds its running wineserver through
it, and a Wine program started with another TMPDIR starts a server of its own (seconds each)."""
import os
import shutil
import sys
import tempfile
from pathlib import Path

TESTS_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(TESTS_DIR / "support"))
os.environ.setdefault("BUILD_DIR", str(TESTS_DIR.parent / "build"))

_RUN_TEMP = tempfile.mkdtemp(prefix="vessick-tests-")
tempfile.tempdir = _RUN_TEMP


def pytest_configure(config):
    if not config.option.basetemp:
        config.option.basetemp = os.path.join(_RUN_TEMP, "pytest")


def pytest_unconfigure(config):
    shutil.rmtree(_RUN_TEMP, ignore_errors=True)
