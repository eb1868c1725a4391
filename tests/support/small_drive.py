"""A small tmpfs mapped as a Wine drive letter: a volume that fills up (or refuses writes) on
purpose, for tests of what a program does when the disk lets it down."""
import os
import subprocess
import tempfile
from contextlib import contextmanager
from pathlib import Path

import pytest

from winproc import BUILD_DIR

# Letters a fresh prefix leaves free; C: and Z: are Wine's own.
FREE_LETTERS = "qponmlkjih"


@contextmanager
def small_drive(options: str):
    """Mounts a tmpfs with mount OPTIONS (e.g. "size=1m" or "size=64k,ro"), maps it to a free
    drive letter and yields ("X:", Unix mount point); unmapped and unmounted whatever happens.
    Skips the test where mounting is not allowed."""
    if os.geteuid() != 0:
        pytest.skip("mounting a small filesystem needs root")
    dosdevices = BUILD_DIR / "wineprefix" / "dosdevices"
    with tempfile.TemporaryDirectory(prefix="small-drive-") as mount_point:
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", mount_point],
                                 capture_output=True)
        if mounted.returncode != 0:
            pytest.skip(f"mount not permitted here: {mounted.stderr.decode().strip()}")
        link = None
        try:
            # Tests run side by side in one prefix: creating the link is what claims a letter.
            for letter in FREE_LETTERS:
                try:
                    (dosdevices / f"{letter}:").symlink_to(mount_point)
                except FileExistsError:
                    continue
                link = dosdevices / f"{letter}:"
                break
            else:
                pytest.fail(f"no free drive letter among {FREE_LETTERS.upper()} in {dosdevices}")
            yield f"{letter.upper()}:", Path(mount_point)
        finally:
            if link is not None and link.is_symlink():
                link.unlink()
            if subprocess.run(["umount", mount_point]).returncode != 0:
                subprocess.run(["umount", "-l", mount_point])
