"""The archive half of Quennet.dll under Wine: packages fed to the extractor in pieces (one byte
at a time too), with and without their tail offered first; the tree it leaves is compared byte
for byte, and no failure may leave a temporary file or anything outside the extract folder."""
import random
import tarfile
import zlib
from pathlib import Path

import pytest

from archives import Entry, crafted_zip, python_tar_gz, python_zip, zlib_gzip
from extract_harness import (CHECKSUM, CORRUPT, DISK_FULL, NOT_STREAMABLE, OK, REFUSED,
                             UNSUPPORTED, expected_tree, extract, run_driver, tree)
from small_drive import small_drive

rng = random.Random(20240)
NOISE = rng.randbytes(3_000_000)  # crosses the extractor's 1 MiB write pieces
WORDS = b" ".join(rng.choice([b"alpha", b"beta", b"gamma", b"delta"]) for _ in range(200_000))


# --- Packages that must extract exactly ------------------------------------------------------

FILES = {
    "readme.txt": b"Quennet\r\n" * 100,
    "data/noise.bin": NOISE,
    "data/words.txt": WORDS,
    "data/empty.dat": b"",
    "游戏/存档.txt": "中文内容".encode() * 300,
    "empty folder/": None,
}
LONG_PATH = {"/".join(["folder-" + "x" * 90] * 3) + "/" + "f" * 120 + ".txt": b"far down"}
SMALL = {"a.txt": b"first file\n" * 50, "sub/b.bin": bytes(range(256)) * 9, "sub/deeper/": None}


def gbk_zip():
    names = ["游戏/资源.pak", "说明.txt"]
    return crafted_zip([Entry(n.encode("gbk"), f"内容 {n}".encode() * 40) for n in names]), {
        n: f"内容 {n}".encode() * 40 for n in names}


def descriptor_zip(layout, method=8):
    files = {f"{layout}/one.txt": WORDS[:70_000], f"{layout}/two.bin": NOISE[:5000]}
    entries = [Entry(n.encode(), d, method=method, descriptor=layout) for n, d in files.items()]
    return crafted_zip(entries), files


SUCCESS = {
    "zip: deflate, stored, folders, UTF-8": (python_zip(FILES, stored={"data/noise.bin"}), FILES),
    "zip: descriptors after deflate": (python_zip(FILES, seekable=False), FILES),
    "zip: zip64 extra fields": (python_zip(SMALL, force_zip64=True), SMALL),
    "zip: zip64 with 64-bit descriptors": (python_zip(SMALL, seekable=False, force_zip64=True), SMALL),
    "zip: zip64 end records": (crafted_zip([Entry(b"z/64.txt", WORDS[:9000])], zip64_end=True),
                               {"z/64.txt": WORDS[:9000]}),
    "zip: code page 936 names": gbk_zip(),
    "zip: descriptor with signature, 32-bit": descriptor_zip("sig32"),
    "zip: descriptor with signature, 64-bit": descriptor_zip("sig64"),
    "zip: descriptor without signature, 32-bit": descriptor_zip("nosig32"),
    "zip: descriptor without signature, 64-bit": descriptor_zip("nosig64"),
    "zip: no entries": (crafted_zip([]), {}),
    "zip: path longer than MAX_PATH": (python_zip(LONG_PATH), LONG_PATH),
    "tar.gz: pax (long and Chinese names)": (python_tar_gz(FILES | {"p/" + "长" * 80 + ".txt": b"x"}),
                                             FILES | {"p/" + "长" * 80 + ".txt": b"x"}),
    "tar.gz: GNU long names": (python_tar_gz(SMALL | {"g/" + "n" * 150: b"gnu"}, format=tarfile.GNU_FORMAT),
                               SMALL | {"g/" + "n" * 150: b"gnu"}),
    "tar.gz: ustar prefix field": (python_tar_gz({"u/" + "d" * 90 + "/" + "f" * 90: b"ustar"},
                                                 format=tarfile.USTAR_FORMAT),
                                   {"u/" + "d" * 90 + "/" + "f" * 90: b"ustar"}),
    "tar.gz: three gzip members": (python_tar_gz(FILES, members=3), FILES),
}

# Each package is read whole in 64 KiB pieces with and without its tail first, and one byte at
# a time (which puts every header, descriptor and block boundary across two pieces).
MODES = {"pieces": ["--piece", 65536], "tail first": ["--tail", "--piece", 4093],
         "single bytes": ["--piece", 1]}


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("case", SUCCESS)
def test_extracts_exactly(box, case, mode):
    package, files = SUCCESS[case]
    if mode == "single bytes" and len(package) > 400_000:
        package, files = (python_tar_gz(SMALL) if case.startswith("tar") else python_zip(SMALL)), SMALL
    result, found = extract(box, package, *MODES[mode])
    assert result["code"] == OK, result
    assert found == expected_tree(files)
    file_count = sum(1 for data in files.values() if data is not None)
    assert (result["total_files"], result["extracted_files"]) == (file_count, file_count)


def test_stored_entries_with_descriptors_need_the_directory_or_the_kept_file(box):
    files = {"s/first.txt": b"deflated" * 500, "s/stored.bin": NOISE[:20_000], "s/last.txt": b"end"}
    package = python_zip(files, seekable=False, stored={"s/stored.bin"})
    result, found = extract(box, package)
    assert result["code"] == NOT_STREAMABLE and "s/stored.bin" in result["text"], result
    assert "s/stored.bin" not in found
    for flags in (["--kept"], ["--tail"], ["--kept", "--piece", 1]):
        result, found = extract(box, package, *flags)
        assert result["code"] == OK, (flags, result)
        assert found == expected_tree(files), flags


def test_a_large_directory_is_read_ahead_in_a_second_range(box):
    # About 500 KiB of directory: more than the first look at the tail holds. The stored
    # entries carry data descriptors, so only the directory read ahead gives their sizes.
    files = {f"many/{i:05d}-{'n' * 80}.bin": i.to_bytes(4, "little") for i in range(4000)}
    package = python_zip(files, seekable=False, stored=set(files))
    result, found = extract(box, package, "--tail")
    assert (result["code"], result["tail_ranges"], result["total_files"]) == (OK, 2, 4000), result
    assert found == expected_tree(files)


# --- Packages that must be refused -----------------------------------------------------------

LINK = 0o120777 << 16
HOSTILE_NAMES = ["../escape.txt", "a/../../escape.txt", "a\\..\\..\\escape.txt", "/absolute.txt",
                 "\\absolute.txt", "C:/drive.txt", "C:drive.txt", "\\\\server\\share\\unc.txt",
                 "file.txt:stream", "CON", "nul.txt", "sub/COM1.log", "lpt9", "CONOUT$",
                 "dot./x.txt", "space /x.txt", "trailing.", "what?.txt"]


def bomb():
    return crafted_zip([Entry(b"bomb.bin", bytes(5_000_000), size=1000)])


def central_directory_mismatch(kind):
    good = [Entry(b"a.txt", b"alpha" * 100), Entry(b"b.txt", b"beta" * 100)]
    if kind == "crc":
        good[1].directory_crc = 0x12345678
        return crafted_zip(good)
    if kind == "missing":
        good[1].listed = False
        return crafted_zip(good)
    return crafted_zip(good, extra_directory=[Entry(b"ghost.txt", b"boo")])


def truncated(package, keep):
    return package[:keep]


def damaged_tar_header():
    raw = zlib.decompress(python_tar_gz(SMALL), 16 + 15)
    damaged = raw[:100] + b"X" + raw[101:]  # inside the first header's mode field
    return zlib_gzip(damaged)


FAILURES = {
    # name: (package, code, words the text must hold)
    "zip symlink": (crafted_zip([Entry(b"ok.txt", b"fine"), Entry(b"link", b"/etc/passwd", method=0,
                                 external_attributes=LINK, made_by=0x0314)]), REFUSED, "link"),
    "tar symlink": (python_tar_gz({"link": b""}, kinds={"link": tarfile.SYMTYPE}), REFUSED, "link"),
    "tar hard link": (python_tar_gz({"hard": b""}, kinds={"hard": tarfile.LNKTYPE}), REFUSED, "hard"),
    "tar fifo": (python_tar_gz({"fifo": b""}, kinds={"fifo": tarfile.FIFOTYPE}), REFUSED, "fifo"),
    "tar device": (python_tar_gz({"dev/tty": b""}, kinds={"dev/tty": tarfile.CHRTYPE}), REFUSED, "dev/tty"),
    "inflates past its size": (bomb(), REFUSED, "bomb.bin"),
    "wrong CRC": (crafted_zip([Entry(b"crc.txt", b"checked" * 99, crc=0xDEADBEEF)]), CHECKSUM, "crc.txt"),
    "wrong CRC, stored": (crafted_zip([Entry(b"crc.bin", b"s" * 999, method=0, crc=1)]), CHECKSUM, "crc.bin"),
    "wrong CRC in descriptor": (crafted_zip([Entry(b"d.txt", b"x" * 999, descriptor="sig32", crc=7)]),
                                CHECKSUM, "d.txt"),
    "directory disagrees on a CRC": (central_directory_mismatch("crc"), CORRUPT, "b.txt"),
    "directory misses an entry": (central_directory_mismatch("missing"), CORRUPT, ""),
    "directory lists an extra entry": (central_directory_mismatch("extra"), CORRUPT, "ghost.txt"),
    "zip cut short": (truncated(python_zip(FILES), 2_000_000), CORRUPT, ""),
    "tar.gz cut short": (truncated(python_tar_gz(FILES), 2_000_000), CORRUPT, "gzip"),
    "encrypted": (crafted_zip([Entry(b"secret.txt", b"pw", flags=1)]), UNSUPPORTED, "secret.txt"),
    "bzip2 method": (crafted_zip([Entry(b"bz.txt", b"bz", method=12)]), UNSUPPORTED, "bz.txt"),
    "neither zip nor tar.gz": (b"Rar!\x1a\x07\x00" + bytes(100), UNSUPPORTED, "52 61 72 21"),
}



FAILURES["tar header checksum"] = (damaged_tar_header(), CORRUPT, "")
for hostile in HOSTILE_NAMES:
    FAILURES[f"zip name {hostile!r}"] = (
        crafted_zip([Entry(b"before.txt", b"b"), Entry(hostile.encode(), b"evil")]), REFUSED, hostile)
    FAILURES[f"tar name {hostile!r}"] = (
        python_tar_gz({"before.txt": b"b", hostile: b"evil"}, format=tarfile.GNU_FORMAT), REFUSED, hostile)


@pytest.mark.parametrize("tail", [False, True], ids=["streamed", "tail first"])
@pytest.mark.parametrize("case", FAILURES)
def test_refuses_and_leaves_no_trace(box, case, tail):
    package, code, words = FAILURES[case]
    result, found = extract(box, package, *(["--tail"] if tail else []))
    assert result["code"] == code, result
    assert words in result["text"], result
    assert not Path("/absolute.txt").exists() and not Path("/escape.txt").exists()
    assert not any(Path(name).name in ("link", "escape.txt", "secret.txt", "bomb.bin", "ghost.txt")
                   for name in found), found
    if tail and case.startswith("zip") and code in (REFUSED, UNSUPPORTED):
        # The directory read ahead is vetted before the first byte is written.
        assert result["stage"] == "tail" and found == {}, (result, found)


def test_abort_mid_file_removes_its_temporary_file(box):
    package = python_zip(FILES, stored={"data/noise.bin"})
    result, found = extract(box, package, "--abort-after", 1_600_000)  # 1 MiB of noise written
    assert result["stage"] == "abort", result
    assert "readme.txt" in found and "data/noise.bin" not in found


# --- A volume that fills up ------------------------------------------------------------------

@pytest.fixture
def one_mib_drive():
    with small_drive("size=1m") as drive:
        yield drive


@pytest.mark.parametrize("kind,flags", [("zip", []), ("zip", ["--tail"]), ("tar.gz", [])])
def test_disk_full_is_reported_and_leaves_no_temporary_file(box, one_mib_drive, kind, flags):
    drive, mount_point = one_mib_drive
    archive = box / "package"
    archive.write_bytes(python_zip(FILES) if kind == "zip" else python_tar_gz(FILES))
    result = run_driver(archive, drive + "\\out", *flags)
    assert result["code"] == DISK_FULL, result
    left = tree(mount_point)
    assert not [n for n in left if Path(n).name.startswith(".quennet-")], left
    if flags:
        assert result["stage"] == "tail" and not [n for n, d in left.items() if d is not None], left
    else:
        assert "data/noise.bin" in result["text"], result
        assert "out/data/noise.bin" not in left
