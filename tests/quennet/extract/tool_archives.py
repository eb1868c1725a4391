"""Packages written by the archivers people really use (Info-ZIP zip, bsdtar, 7-Zip, GNU tar,
pigz), made at test time from a source folder, and checks that each tool wrote what the case is
about (a test of UTF-8 names without the flag is worthless if the flag was set)."""
import os
import random
import subprocess
import tarfile
import zipfile
from pathlib import Path

UTF8_ENV = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")

_rng = random.Random(9437187)
SOURCE = {
    "readme.txt": b"made by another tool\n" * 40,
    "游戏/存档.txt": "中文内容".encode() * 200,
    "说明.txt": "请先阅读".encode() * 10,
    "data/noise.bin": _rng.randbytes(150_000),
    "data/empty.dat": b"",
    "空文件夹/": None,
}

# A file of 9 437 187 bytes with data at its start, across its middle and at its end, and one
# that ends in a hole; the archivers store only the data.
SPARSE_SIZE = 9_437_187
SPARSE_PIECES = {"sparse/middle.img": [(0, b"HEAD" * 1000), (4_194_000, _rng.randbytes(9000)),
                                       (SPARSE_SIZE - 4, b"TAIL")],
                 "sparse/hole-at-end.img": [(65_536, b"island" * 700)]}
SPARSE_HOLE_END = 5_000_000


def write_source(root: Path, files: dict):
    for name, data in files.items():
        path = root / name
        if data is None:
            path.mkdir(parents=True, exist_ok=True)
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)


def write_sparse_source(root: Path) -> dict:
    """Writes the sparse files with real holes (truncate, then data at offsets); returns their
    contents for the comparison."""
    contents = {"plain.txt": b"beside the sparse files\n"}
    write_source(root, contents)
    for name, pieces in SPARSE_PIECES.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        size = SPARSE_SIZE if name.endswith("middle.img") else SPARSE_HOLE_END
        with open(path, "wb") as file:
            file.truncate(size)
            for offset, data in pieces:
                file.seek(offset)
                file.write(data)
        contents[name] = path.read_bytes()
    return contents


def run(command, *, cwd, stdout=None, input=None) -> bytes:
    completed = subprocess.run(command, cwd=cwd, env=UTF8_ENV, input=input,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
    assert completed.returncode == 0, (command, completed.stderr.decode(errors="replace"))
    return completed.stdout


def entries_in(src: Path) -> list:
    """The source's top-level names, for tools that are given names rather than a folder."""
    return sorted(p.name for p in src.iterdir())


# Each builder makes the package from SRC into OUT (a file path) and returns nothing; the
# package is what the tool wrote, byte for byte.
def info_zip(src, out):
    run(["zip", "-q", "-r", str(out), *entries_in(src)], cwd=src)


def info_zip_into_pipe(src, out):
    out.write_bytes(run(["zip", "-q", "-r", "-", *entries_in(src)], cwd=src))


def bsdtar_zip(src, out):
    run(["bsdtar", "--format", "zip", "-cf", str(out), *entries_in(src)], cwd=src)


def bsdtar_zip_into_pipe(src, out):
    out.write_bytes(run(["bsdtar", "--format", "zip", "-cf", "-", *entries_in(src)], cwd=src))


def bsdtar_zip_cp936(src, out):
    run(["bsdtar", "--format", "zip", "--options", "zip:hdrcharset=CP936", "-cf", str(out),
         *entries_in(src)], cwd=src)


def seven_zip(src, out):
    run(["7z", "a", "-tzip", "-bd", "-bso0", "-bsp0", str(out), *entries_in(src)], cwd=src)


def gnu_tar_gz(src, out):
    run(["tar", "-czf", str(out), "."], cwd=src)


def gnu_tar_pax_gz(src, out):
    run(["tar", "--format=pax", "-czf", str(out), "."], cwd=src)


def gnu_tar_through_pigz(src, out):
    tar = run(["tar", "-cf", "-", "."], cwd=src)
    out.write_bytes(run(["pigz", "-p", "2", "-b", "32"], cwd=src, input=tar))


def gnu_tar_through_pigz_independent(src, out):
    tar = run(["tar", "--format=pax", "-cf", "-", "."], cwd=src)
    out.write_bytes(run(["pigz", "--independent", "-b", "32"], cwd=src, input=tar))


def bsdtar_tar_gz(src, out):
    run(["bsdtar", "-czf", str(out), *entries_in(src)], cwd=src)


def bsdtar_pax_sparse(src, out):
    run(["bsdtar", "--format", "pax", "-czf", str(out), *entries_in(src)], cwd=src)


def gnu_tar_sparse(version):
    def build(src, out):
        run(["tar", "--format=pax", "--sparse", f"--sparse-version={version}", "-czf", str(out),
             "."], cwd=src)
    return build


def gnu_tar_old_sparse(src, out):
    run(["tar", "--format=gnu", "--sparse", "-czf", str(out), "."], cwd=src)


# --- What each case relies on the tool to have written ---------------------------------------

def zip_infos(package: Path):
    with zipfile.ZipFile(package) as archive:
        return archive.infolist()


def names_utf8_without_flag(package):
    # zipfile reads a name without the flag as code page 437: encoding it back gives the bytes.
    stored = b"".join(i.filename.encode("cp437") for i in zip_infos(package)
                      if i.flag_bits & 0x800 == 0 and i.create_system == 3)
    assert "游戏".encode() in stored and "说明".encode() in stored, \
        "the tool set the UTF-8 flag, or wrote no UTF-8 names on a Unix host"


def names_cp936_on_unix(package):
    stored = [i.filename.encode("cp437") for i in zip_infos(package) if i.create_system == 3
              and i.flag_bits & 0x800 == 0]
    assert "游戏".encode("gbk") in b"".join(stored), "no code page 936 names"
    for raw in stored:
        if "说明".encode("gbk") in raw or "游戏".encode("gbk") in raw:
            try:
                raw.decode("utf-8")
                raise AssertionError(f"{raw!r} is valid UTF-8 as well: the case proves nothing")
            except UnicodeDecodeError:
                pass


def zeros_after_end_record(package):
    data = package.read_bytes()
    end = data.rfind(b"PK\x05\x06")
    padding = data[end + 22:]
    assert padding and set(padding) == {0}, "no zero padding after the end record"


def utf8_flag_set(package):
    assert any(i.flag_bits & 0x800 for i in zip_infos(package)), "no UTF-8 flag"


def sparse_version(major_minor):
    def check(package):
        with tarfile.open(package) as archive:
            headers = [m.pax_headers for m in archive.getmembers() if m.name.endswith(".img")]
        assert headers, "no sparse members"
        for pax in headers:
            if major_minor == "1.0":
                assert (pax.get("GNU.sparse.major"), pax.get("GNU.sparse.minor")) == ("1", "0"), pax
            else:
                assert "GNU.sparse.size" in pax and "GNU.sparse.major" not in pax, pax
    return check


def old_gnu_sparse(package):
    with tarfile.open(package) as archive:
        assert any(m.type == tarfile.GNUTYPE_SPARSE for m in archive.getmembers()), "no 'S' member"
