"""Archives nobody here wrote: what Info-ZIP zip, bsdtar, 7-Zip, GNU tar and pigz make, extracted
and compared with the folder they were made from; GNU sparse files; names that Windows sees as
one; entries that declare more than the disk holds; bytes after a ZIP's end record."""
import io
import random
import struct
import tarfile
import tempfile
import zlib
from pathlib import Path

import pytest

import tool_archives as tools
from archives import (MADE_ON_DOS, MADE_ON_UNIX, UNIX_UID_GID_FIELD, Entry, crafted_zip,
                      extra_field, python_zip, unicode_path_field, zlib_gzip)
from extract_harness import (CORRUPT, DISK_FULL, OK, REFUSED, UNSUPPORTED, expected_tree,
                             extract, run_driver, tree)
from small_drive import small_drive

MODES = {"pieces": ["--piece", 65536], "tail first": ["--tail", "--piece", 4093],
         "single bytes": ["--piece", 1]}


@pytest.fixture(scope="module")
def made():
    """Makes each tool's package once per module, in a scratch folder removed afterwards."""
    with tempfile.TemporaryDirectory(prefix="qtools-") as scratch:
        root = Path(scratch)
        plain, sparse = root / "plain", root / "sparse"
        tools.write_source(plain, tools.SOURCE)
        sparse_files = tools.write_sparse_source(sparse)
        cache = {}

        def package(case):
            if case not in cache:
                build, source, check = TOOL_CASES[case][:3]
                out = root / f"{len(cache)}.pkg"
                build(sparse if source == "sparse" else plain, out)
                if check is not None:
                    check(out)
                cache[case] = out.read_bytes()
            return cache[case]

        package.sparse_files = sparse_files
        yield package


# name: (builder, source folder, what the tool must have written for the case to mean anything
#        [, driver flags every run needs])
TOOL_CASES = {
    "Info-ZIP zip: UTF-8 names without the flag": (tools.info_zip, "plain", tools.names_utf8_without_flag),
    # Its stored entries carry descriptors: streamed only with the directory or the kept file.
    "Info-ZIP zip into a pipe (descriptors)": (tools.info_zip_into_pipe, "plain",
                                               tools.names_utf8_without_flag, ["--kept"]),
    "bsdtar zip": (tools.bsdtar_zip, "plain", None),
    "bsdtar zip into a pipe (zeros after the end)": (tools.bsdtar_zip_into_pipe, "plain",
                                                     tools.zeros_after_end_record),
    "bsdtar zip, code page 936 names on Unix": (tools.bsdtar_zip_cp936, "plain", tools.names_cp936_on_unix),
    "7-Zip zip": (tools.seven_zip, "plain", tools.utf8_flag_set),
    "GNU tar, gzip": (tools.gnu_tar_gz, "plain", None),
    "GNU tar pax, gzip": (tools.gnu_tar_pax_gz, "plain", None),
    "GNU tar through pigz": (tools.gnu_tar_through_pigz, "plain", None),
    "GNU tar pax through pigz --independent": (tools.gnu_tar_through_pigz_independent, "plain", None),
    "bsdtar tar.gz": (tools.bsdtar_tar_gz, "plain", None),
    "bsdtar pax sparse files (1.0)": (tools.bsdtar_pax_sparse, "sparse", tools.sparse_version("1.0")),
    "GNU tar pax sparse files 1.0": (tools.gnu_tar_sparse("1.0"), "sparse", tools.sparse_version("1.0")),
    "GNU tar pax sparse files 0.1": (tools.gnu_tar_sparse("0.1"), "sparse", tools.sparse_version("0.1")),
    "GNU tar pax sparse files 0.0": (tools.gnu_tar_sparse("0.0"), "sparse", tools.sparse_version("0.0")),
    "GNU tar old sparse headers": (tools.gnu_tar_old_sparse, "sparse", tools.old_gnu_sparse),
}
REFUSED_TOOL_CASES = {"GNU tar pax sparse files 0.1", "GNU tar pax sparse files 0.0",
                      "GNU tar old sparse headers"}


def source_tree(made, case):
    files = made.sparse_files if TOOL_CASES[case][1] == "sparse" else tools.SOURCE
    return expected_tree(files)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("case", [c for c in TOOL_CASES if c not in REFUSED_TOOL_CASES])
def test_extracts_what_other_tools_wrote(box, made, case, mode):
    package = made(case)
    needed = TOOL_CASES[case][3] if len(TOOL_CASES[case]) > 3 else []
    result, found = extract(box, package, *MODES[mode], *needed)
    assert result["code"] == OK, result
    assert found == source_tree(made, case)
    file_count = sum(1 for data in found.values() if data is not None)
    assert result["extracted_files"] == file_count, result


@pytest.mark.parametrize("case", sorted(REFUSED_TOOL_CASES))
def test_sparse_formats_that_are_not_applied_are_refused(box, made, case):
    result, found = extract(box, made(case))
    assert result["code"] == UNSUPPORTED and "稀疏" in result["text"], result
    assert not [name for name in found if name.endswith(".img")], found


# --- Sparse files that lie ---------------------------------------------------------------------

def sparse_tar_gz(stored: bytes, *, realsize=1000, name="x.img", extra=None) -> bytes:
    """A pax sparse 1.0 member whose data (map included) is STORED, as bsdtar writes it."""
    pax = {"GNU.sparse.major": "1", "GNU.sparse.minor": "0", "GNU.sparse.name": name}
    if realsize is not None:
        pax["GNU.sparse.realsize"] = str(realsize)
    pax.update(extra or {})
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.PAX_FORMAT) as archive:
        info = tarfile.TarInfo(f"GNUSparseFile.0/{name}")
        info.size = len(stored)
        info.pax_headers = pax
        archive.addfile(info, io.BytesIO(stored))
    return zlib_gzip(raw.getvalue())


def sparse_map(*numbers) -> bytes:
    text = "".join(f"{n}\n" for n in numbers).encode()
    return text + bytes(-len(text) % 512)


SPARSE_LIES = {
    # name: (stored data, realsize, words of the text)
    "segments hold more than is stored": (sparse_map(1, 0, 600) + b"x" * 500, 1000, "600"),
    "segments hold less than is stored": (sparse_map(1, 0, 100) + b"x" * 500, 1000, "100"),
    "a segment past the real size": (sparse_map(1, 900, 200) + b"x" * 200, 1000, "x.img"),
    "segments out of order": (sparse_map(2, 500, 10, 0, 10) + b"x" * 20, 1000, "x.img"),
    "segments that overlap": (sparse_map(2, 0, 100, 50, 100) + b"x" * 200, 1000, "x.img"),
    "map longer than the data": (b"2\n0\n10\n", 1000, "x.img"),
    "no real size": (sparse_map(1, 0, 10) + b"x" * 10, None, "x.img"),
}


@pytest.mark.parametrize("case", SPARSE_LIES)
def test_sparse_files_whose_map_lies_are_corrupt(box, case):
    stored, realsize, words = SPARSE_LIES[case]
    result, found = extract(box, sparse_tar_gz(stored, realsize=realsize), "--piece", 7)
    assert result["code"] == CORRUPT and words in result["text"], result
    assert found == {}, found


HAND_MADE_SPARSE = {
    # name: (stored data, real size)
    "holes.img": (sparse_map(0), 70_000),
    "two.img": (sparse_map(3, 10, 3, 512, 1, 2000, 0) + b"abcd", 2000),
}


@pytest.mark.parametrize("name", HAND_MADE_SPARSE)
def test_sparse_files_made_by_hand_match_pythons_reader(box, name):
    # Python's tarfile applies the 1.0 map too: a second reader of the format.
    stored, realsize = HAND_MADE_SPARSE[name]
    package = sparse_tar_gz(stored, realsize=realsize, name=name)
    result, found = extract(box, package, "--piece", 1)
    assert result["code"] == OK, result
    with tarfile.open(fileobj=io.BytesIO(zlib.decompress(package, 16 + 15))) as archive:
        member = archive.getmembers()[0]
        assert (member.name, member.size) == (name, realsize)
        assert found == {name: archive.extractfile(member).read()}


# --- ZIP names ---------------------------------------------------------------------------------

GAME = "游戏.txt"
NAME_CASES = {
    # name: (stored name, flags, made by, local extra, central extra, name expected)
    "Unix host, UTF-8, uid/gid field": (GAME.encode(), 0, MADE_ON_UNIX, UNIX_UID_GID_FIELD,
                                        UNIX_UID_GID_FIELD, GAME),
    "Unix host, code page 936": (GAME.encode("gbk"), 0, MADE_ON_UNIX, UNIX_UID_GID_FIELD, b"", GAME),
    "DOS host, UTF-8 bytes read as 936": (GAME.encode(), 0, MADE_ON_DOS, b"", b"",
                                          GAME.encode().decode("gbk")),
    "Unicode Path field": (b"youxi.txt", 0, MADE_ON_DOS,
                           unicode_path_field(b"youxi.txt", GAME),
                           unicode_path_field(b"youxi.txt", GAME), GAME),
    "Unicode Path field over a 936 name": (GAME.encode("gbk"), 0, MADE_ON_DOS,
                                           unicode_path_field(GAME.encode("gbk"), "统一.txt"),
                                           unicode_path_field(GAME.encode("gbk"), "统一.txt"),
                                           "统一.txt"),
    "stale Unicode Path field": (b"youxi.txt", 0, MADE_ON_DOS,
                                 unicode_path_field(b"youxi.txt", GAME, crc=1234),
                                 unicode_path_field(b"youxi.txt", GAME, crc=1234), "youxi.txt"),
    "Unicode Path field that is not UTF-8": (b"youxi.txt", 0, MADE_ON_DOS,
                                             extra_field(0x7075, b"\x01" + struct.pack(
                                                 "<I", zlib.crc32(b"youxi.txt")) + b"\xff\xfe"),
                                             b"", "youxi.txt"),
    "UTF-8 flag": (GAME.encode(), 0x800, MADE_ON_DOS, b"", b"", GAME),
}


def name_zip(case):
    raw, flags, made_by, local_extra, central_extra, _ = NAME_CASES[case]
    return crafted_zip([Entry(b"first.txt", b"first"),
                        Entry(raw, b"named " * 50, flags=flags, made_by=made_by,
                              local_extra=local_extra, central_extra=central_extra)])


@pytest.mark.parametrize("tail", [False, True], ids=["streamed", "tail first"])
@pytest.mark.parametrize("case", NAME_CASES)
def test_zip_names_follow_the_fields_and_the_host(box, case, tail):
    package = name_zip(case)
    result, found = extract(box, package, *(["--tail"] if tail else []))
    assert result["code"] == OK, result
    assert found == {"first.txt": b"first", NAME_CASES[case][5]: b"named " * 50}


UNZIP_AGREES = ["Unix host, UTF-8, uid/gid field", "Unicode Path field",
                "Unicode Path field over a 936 name", "stale Unicode Path field",
                "Unicode Path field that is not UTF-8"]


@pytest.mark.parametrize("case", UNZIP_AGREES)
def test_zip_names_agree_with_unzip(box, case):
    # Where unzip reads names by the same rules. It passes a Unix host's bytes on as they are,
    # and turns a DOS host's names from the OEM code page even under the UTF-8 flag, so those
    # cases have no second opinion here.
    archive = box / "names.zip"
    archive.write_bytes(name_zip(case))
    listed = tools.run(["unzip", "-Z1", str(archive)], cwd=box).decode().split("\n")
    assert NAME_CASES[case][5] in listed, listed


def test_a_unix_name_the_local_header_does_not_show_is_checked_against_the_directory(box):
    # Without the directory read ahead and without a Unix field, the local header gives no host:
    # the name is read as code page 936, and the directory then says otherwise.
    package = crafted_zip([Entry(b"first.txt", b"first"),
                           Entry(GAME.encode(), b"named", made_by=MADE_ON_UNIX)])
    result, found = extract(box, package)
    assert result["code"] == CORRUPT and GAME.encode().decode("gbk") in result["text"], result
    assert found == {"first.txt": b"first"}, found
    result, found = extract(box, package, "--tail")
    assert result["code"] == OK and found == {"first.txt": b"first", GAME: b"named"}, result


# --- Names that are one file on Windows --------------------------------------------------------

COLLISIONS = {
    # name: (entries in order, index of the entry refused); more case pairs in
    # archive_fields_test.cpp
    "differ by ASCII case": (["readme.txt", "README.TXT"], 1),
    "exact repeat": (["dir/file.bin", "dir/file.bin"], 1),
    "differ by accented case": (["café/é.txt", "CAFÉ/É.txt"], 1),
    "a file, then a folder of its name": (["data", "Data/inner.txt"], 1),
    "a folder, then a file of its name": (["Docs/", "docs"], 1),
    "a file under a file": (["a/b", "A/B/c.txt"], 1),
}
ALLOWED = {
    # name: (entries in order, files extracted). Folders differing by case are one folder
    # holding both files: nothing is lost.
    "folders that differ by case": (["Data/a.txt", "data/b.txt"], {"Data/a.txt", "Data/b.txt"}),
    "a folder named twice": (["dir/", "dir/", "dir/f.txt"], {"dir/f.txt"}),
}


def content_of(name, index):
    return None if name.endswith("/") else f"{index}: {name}".encode()


def zip_of(names):
    return crafted_zip([Entry(n.encode(), content_of(n, i) or b"", flags=0x800)
                        for i, n in enumerate(names)])


def tar_gz_of(names):
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.PAX_FORMAT) as archive:
        for i, name in enumerate(names):
            info = tarfile.TarInfo(name.rstrip("/"))
            data = content_of(name, i)
            if data is None:
                info.type = tarfile.DIRTYPE
                archive.addfile(info)
            else:
                info.size = len(data)
                archive.addfile(info, io.BytesIO(data))
    return zlib_gzip(raw.getvalue())


KINDS = {"zip streamed": (zip_of, []), "zip tail first": (zip_of, ["--tail"]),
         "tar.gz": (tar_gz_of, [])}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("case", COLLISIONS)
def test_names_windows_sees_as_one_are_refused_before_overwriting(box, case, kind):
    names, refused = COLLISIONS[case]
    make, flags = KINDS[kind]
    result, found = extract(box, make(names), *flags)
    assert result["code"] == REFUSED, result
    assert names[refused].rstrip("/") in result["text"] and names[0].rstrip("/") in result["text"]
    if flags:  # the directory read ahead is checked before anything is written
        assert result["stage"] == "tail" and found == {}, (result, found)
    else:  # what came first is there, untouched
        first = names[0]
        if not first.endswith("/"):
            assert found[first] == content_of(first, 0), found
    assert not any(data is not None and data.startswith(b"1: ") for data in found.values()), found


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("case", ALLOWED)
def test_names_that_stay_apart_on_windows_are_all_extracted(box, case, kind):
    names, files = ALLOWED[case]
    make, flags = KINDS[kind]
    result, found = extract(box, make(names), *flags)
    assert result["code"] == OK, result
    assert {n for n, d in found.items() if d is not None} == files, found
    for i, name in enumerate(names):
        data = content_of(name, i)
        if data is not None:
            assert data in found.values(), name


# --- Declared sizes larger than the volume -----------------------------------------------------

TWO_MIB = random.Random(2).randbytes(2 << 20)  # incompressible: the package is as large
GIB_100 = 100 << 30


def zip64_local_declaring(size: int) -> bytes:
    """A deflated entry whose ZIP64 field declares SIZE; its data is a few bytes of it."""
    data = b"x" * 1000
    compressed = zlib.compressobj(6, zlib.DEFLATED, -15)
    deflated = compressed.compress(data) + compressed.flush()
    zip64 = extra_field(0x0001, struct.pack("<QQ", size, len(deflated)))
    return crafted_zip([Entry(b"ok.txt", b"small"),
                        Entry(b"huge.bin", data, size=0xFFFFFFFF, local_extra=zip64)])


def tar_gz_with(name, data):
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.PAX_FORMAT) as archive:
        for entry, content in (("ok.txt", b"small"), (name, data)):
            info = tarfile.TarInfo(entry)
            info.size = len(content)
            archive.addfile(info, io.BytesIO(content))
    return zlib_gzip(raw.getvalue())


DECLARED = {
    # name: (package, driver flags, words of the text: the entry and the size it declares)
    "zip local header, stored": (crafted_zip([Entry(b"ok.txt", b"small"),
                                              Entry(b"huge.bin", TWO_MIB, method=0)]), [],
                                 ["huge.bin", str(len(TWO_MIB))]),
    "zip64 field declares 100 GiB": (zip64_local_declaring(GIB_100), [], ["huge.bin", str(GIB_100)]),
    "zip descriptors, directory read ahead": (python_zip({"ok.txt": b"small", "huge.bin": TWO_MIB},
                                                         seekable=False), ["--tail"],
                                              [str(len(TWO_MIB) + 5)]),
    "tar header size": (tar_gz_with("huge.bin", TWO_MIB), [], ["huge.bin", str(len(TWO_MIB))]),
    "sparse real size of 100 GiB": (sparse_tar_gz(sparse_map(1, 0, 4) + b"data", realsize=GIB_100,
                                                  name="huge.img"), [], ["huge.img", str(GIB_100)]),
}


@pytest.fixture
def one_mib_drive():
    with small_drive("size=1m") as drive:
        yield drive


@pytest.mark.parametrize("case", DECLARED)
def test_an_entry_larger_than_the_free_space_is_refused_before_a_byte_is_written(box, one_mib_drive,
                                                                                   case):
    drive, mount_point = one_mib_drive
    package, flags, words = DECLARED[case]
    archive = box / "package"
    archive.write_bytes(package)
    result = run_driver(archive, drive + "\\out", "--piece", 4096, *flags)
    assert result["code"] == DISK_FULL and all(w in result["text"] for w in words), result
    # Refused at the entry's header: the driver had fed little more than the headers.
    assert result["bytes"] < 16384, result
    left = tree(mount_point)
    assert {n for n, d in left.items() if d is not None} <= {"out/ok.txt"}, left


# --- Bytes after a ZIP's end record ------------------------------------------------------------

SMALL_ZIP_ENTRIES = [Entry(b"a.txt", b"alpha" * 100), Entry(b"b/c.bin", bytes(range(256)))]
TRAILERS = {
    # name: (bytes after the end record, code)
    "one zero": (b"\0", OK),
    "a block of zeros": (bytes(10240), OK),
    "more zeros than the tail holds": (bytes(300_000), OK),
    "garbage": (b"garbage", CORRUPT),
    "zeros, then garbage": (bytes(5000) + b"\x01", CORRUPT),
    "another end record": (b"PK\x05\x06" + bytes(18), CORRUPT),
}


@pytest.mark.parametrize("tail", [False, True], ids=["streamed", "tail first"])
@pytest.mark.parametrize("case", TRAILERS)
def test_only_zeros_may_follow_the_end_record(box, case, tail):
    trailing, code = TRAILERS[case]
    package = crafted_zip(SMALL_ZIP_ENTRIES, trailing=trailing)
    result, found = extract(box, package, *(["--tail"] if tail else []), "--piece", 1000)
    assert result["code"] == code, result
    if code == OK:
        assert found == expected_tree({"a.txt": b"alpha" * 100, "b/c.bin": bytes(range(256))})
        assert (result["total_files"], result["extracted_files"]) == (2, 2), result
