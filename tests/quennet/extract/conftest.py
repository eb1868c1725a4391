"""The scratch box of the extractor tests (see extract_harness.extract)."""
import tempfile
from pathlib import Path

import pytest


@pytest.fixture
def box():
    """A scratch folder holding the package and, inside `box/out`, the extract folder: anything
    the extractor puts beside `out` escaped it."""
    with tempfile.TemporaryDirectory(prefix="qarc-") as scratch:
        yield Path(scratch)
