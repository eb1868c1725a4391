"""Packages of many small files through the extractor under Wine, where the writer threads put
most files in place: the tree is byte-exact, a volume filling up mid-way fails with the disk-full
code naming a file and leaves only whole files, and an abort leaves every file committed before
it, whole, and nothing temporary."""
import io
import json
import random
import subprocess
import tarfile
import tempfile
import zipfile
from pathlib import Path

import pytest

from small_drive import small_drive
from winproc import BUILD_DIR, WINE_RUN, winpath

DRIVER = BUILD_DIR / "tests" / "bin" / "extract_driver.exe"
OK, DISK_FULL = 0, 8


def many_files(count: int, seed: int, largest: int = 40_000) -> dict:
    """COUNT files in a dozen folders, text and noise, some empty, one over a write piece."""
    rng = random.Random(seed)
    files = {}
    for i in range(count):
        folder = f"d{i % 12:02d}/s{i % 3}"
        size = 0 if i % 97 == 0 else rng.randrange(1, largest)
        if i % 2:
            data = rng.randbytes(size)
        else:
            data = (f"line {i} " * (size // 7 + 1)).encode()[:size]
        files[f"{folder}/file_{i:04d}.{'bin' if i % 2 else 'txt'}"] = data
    files["big/over_a_piece.bin"] = rng.randbytes((1 << 20) + 12345)
    return files


def as_zip(files: dict) -> bytes:
    target = io.BytesIO()
    with zipfile.ZipFile(target, "w") as archive:
        for i, (name, data) in enumerate(files.items()):
            archive.writestr(name, data, compress_type=zipfile.ZIP_DEFLATED if i % 3 else zipfile.ZIP_STORED)
    return target.getvalue()


def as_tar_gz(files: dict) -> bytes:
    target = io.BytesIO()
    with tarfile.open(fileobj=target, mode="w:gz") as archive:
        for name, data in files.items():
            info = tarfile.TarInfo(name)
            info.size = len(data)
            archive.addfile(info, io.BytesIO(data))
    return target.getvalue()


def run_driver(archive: Path, out: str, *flags) -> dict:
    completed = subprocess.run([str(WINE_RUN), str(DRIVER), winpath(archive), out, *map(str, flags)],
                               capture_output=True, timeout=300)
    lines = completed.stdout.decode().strip().splitlines()
    assert lines, f"driver printed nothing: {completed.stderr.decode(errors='replace')}"
    return json.loads(lines[-1])


def files_under(root: Path) -> dict:
    return {path.relative_to(root).as_posix(): path.read_bytes()
            for path in sorted(root.rglob("*")) if path.is_file()}


@pytest.fixture
def box():
    with tempfile.TemporaryDirectory(prefix="qmany-") as scratch:
        yield Path(scratch)


FILES = many_files(700, seed=7)
PACKAGES = {"zip": as_zip(FILES), "tar.gz": as_tar_gz(FILES)}


@pytest.mark.parametrize("flags", [["--piece", 65536], ["--tail", "--piece", 1_000_003]],
                         ids=["pieces", "tail first, large pieces"])
@pytest.mark.parametrize("kind", PACKAGES)
def test_many_small_files_extract_exactly(box, kind, flags):
    archive = box / "package"
    archive.write_bytes(PACKAGES[kind])
    result = run_driver(archive, winpath(box / "out"), *flags)
    assert result["code"] == OK, result
    assert result["extracted_files"] == len(FILES)
    found = files_under(box / "out")
    assert found.keys() == FILES.keys()
    assert [name for name in FILES if found[name] != FILES[name]] == []


@pytest.mark.parametrize("kind", PACKAGES)
def test_volume_filling_up_among_small_files_leaves_only_whole_ones(box, kind):
    # About 14 MB of files onto 2 MiB: a writer thread meets the full disk, not the reader.
    archive = box / "package"
    archive.write_bytes(PACKAGES[kind])
    with small_drive("size=2m") as (drive, mount_point):
        result = run_driver(archive, drive + "\\out", "--piece", 65536)
        assert result["code"] == DISK_FULL, result
        assert "磁盘空间不足" in result["text"]
        assert any(name in result["text"] for name in FILES), result["text"]
        left = files_under(Path(mount_point))
    assert not [name for name in left if Path(name).name.startswith(".quennet-")], left
    assert left, "nothing was written before the disk filled up"
    broken = [name for name, data in left.items() if FILES.get(name.removeprefix("out/")) != data]
    assert broken == []


def test_abort_leaves_every_file_committed_before_it_whole(box):
    package = PACKAGES["zip"]
    archive = box / "package"
    archive.write_bytes(package)
    half = len(package) // 2
    result = run_driver(archive, winpath(box / "out"), "--abort-after", half, "--piece", 4096)
    assert result["stage"] == "abort", result
    found = files_under(box / "out")
    assert not [name for name in found if Path(name).name.startswith(".quennet-")], found
    # Entries lie in order: each one whose data ended before the cut was committed and must be
    # there whole; none may be there cut short.
    with zipfile.ZipFile(io.BytesIO(package)) as listing:
        committed = [info.filename for info in listing.infolist()
                     if info.header_offset + 30 + len(info.filename) + info.compress_size + 64 < half]
    assert len(committed) > 100
    assert [name for name in committed if found.get(name) != FILES[name]] == []
    assert [name for name, data in found.items() if FILES[name] != data] == []
