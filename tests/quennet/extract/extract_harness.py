"""What the extractor tests share: the driver that feeds a package to the extractor under Wine,
the run inside a scratch box (conftest.py) that shows anything written outside the extract
folder, and the tree compared."""
import json
import subprocess
from pathlib import Path

from winproc import BUILD_DIR, WINE_RUN, winpath

DRIVER = BUILD_DIR / "tests" / "bin" / "extract_driver.exe"

OK, DISK_FULL, CORRUPT, CHECKSUM, REFUSED, UNSUPPORTED, NOT_STREAMABLE = 0, 8, 10, 11, 12, 13, 14


def run_driver(archive: Path, out, *flags) -> dict:
    """OUT is a Unix path, or a Windows path as a string."""
    out = out if isinstance(out, str) else winpath(out)
    completed = subprocess.run([str(WINE_RUN), str(DRIVER), winpath(archive), out,
                                *map(str, flags)], capture_output=True, timeout=300)
    lines = completed.stdout.decode().strip().splitlines()
    assert lines, f"driver printed nothing: {completed.stderr.decode(errors='replace')}"
    return json.loads(lines[-1])


def tree(root: Path) -> dict:
    """Relative path -> bytes for files, None for folders."""
    found = {}
    for path in sorted(root.rglob("*")):
        relative = path.relative_to(root).as_posix()
        found[relative] = None if path.is_dir() else path.read_bytes()
    return found


def expected_tree(files: dict) -> dict:
    """What extracting FILES (name -> bytes, None for folders) must give, folders included."""
    expected = {}
    for name, data in files.items():
        parts = [p for p in name.replace("\\", "/").split("/") if p not in ("", ".")]
        for depth in range(1, len(parts)):
            expected["/".join(parts[:depth])] = None
        if parts:
            expected["/".join(parts)] = data
    return expected


def extract(box: Path, package: bytes, *flags, name="package.bin") -> tuple[dict, dict]:
    archive = box / name
    archive.write_bytes(package)
    out = box / "box" / "out"
    out.parent.mkdir(exist_ok=True)
    result = run_driver(archive, out, *flags)
    assert sorted(p.name for p in out.parent.iterdir()) in ([], ["out"]), "wrote outside"
    found = tree(out) if out.exists() else {}
    leftovers = [n for n in found if Path(n).name.startswith(".quennet-")]
    assert not leftovers, f"temporary files left: {leftovers}"
    return result, found
