"""Lets a pytest module be run by hand after a build, without CTest's environment:
`/usr/bin/python3 -m pytest tests/reporter/test_end_to_end.py` finds the support modules and the
default build folder (BUILD_DIR overrides it)."""
import os
import sys
from pathlib import Path

TESTS_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(TESTS_DIR / "support"))
os.environ.setdefault("BUILD_DIR", str(TESTS_DIR.parent / "build"))
