"""Packages for the extractor tests: what Python's zipfile and tarfile write, and ZIPs put
together byte by byte where a test needs a field that no writer would get wrong."""
import io
import struct
import tarfile
import zipfile
import zlib
from dataclasses import dataclass


def deflate_raw(data: bytes) -> bytes:
    compressor = zlib.compressobj(6, zlib.DEFLATED, -15)
    return compressor.compress(data) + compressor.flush()


class Unseekable(io.RawIOBase):
    """A write-only stream: zipfile then writes data descriptors after every entry."""

    def __init__(self):
        self.buffer = bytearray()

    def writable(self):
        return True

    def write(self, data):
        self.buffer += data
        return len(data)


def python_zip(files: dict, *, seekable=True, stored=(), force_zip64=False) -> bytes:
    """FILES maps names to bytes (None for a folder). Names in STORED are not compressed."""
    target = io.BytesIO() if seekable else Unseekable()
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in files.items():
            if data is None:
                archive.writestr(zipfile.ZipInfo(name), b"")
                continue
            method = zipfile.ZIP_STORED if name in stored else zipfile.ZIP_DEFLATED
            info = zipfile.ZipInfo(name)
            info.compress_type = method
            with archive.open(info, "w", force_zip64=force_zip64) as entry:
                entry.write(data)
    return bytes(target.getvalue() if seekable else target.buffer)


def python_tar_gz(files: dict, *, format=tarfile.PAX_FORMAT, members=1, kinds=None) -> bytes:
    """FILES maps names to bytes (None for a folder); KINDS maps names to a tarfile type for
    entries that are not files or folders. MEMBERS > 1 splits the tar over several gzip members."""
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=format) as archive:
        for name, data in files.items():
            info = tarfile.TarInfo(name)
            kind = (kinds or {}).get(name)
            if kind is not None:
                info.type = kind
                info.linkname = "target.txt" if kind in (tarfile.SYMTYPE, tarfile.LNKTYPE) else ""
                archive.addfile(info)
            elif data is None:
                info.type = tarfile.DIRTYPE
                archive.addfile(info)
            else:
                info.size = len(data)
                archive.addfile(info, io.BytesIO(data))
    tar = raw.getvalue()
    cut = [len(tar) * i // members for i in range(members + 1)]
    return b"".join(zlib_gzip(tar[cut[i]:cut[i + 1]]) for i in range(members))


def zlib_gzip(data: bytes) -> bytes:
    compressor = zlib.compressobj(6, zlib.DEFLATED, 16 + 15)
    return compressor.compress(data) + compressor.flush()


@dataclass
class Entry:
    """One entry of a hand-made ZIP; the overrides make it lie in one place or another."""
    name: bytes
    data: bytes = b""
    method: int = 8
    flags: int = 0
    descriptor: str | None = None  # "sig32", "sig64", "nosig32", "nosig64"
    crc: int | None = None         # written in the local header, descriptor and directory
    size: int | None = None        # declared uncompressed size, everywhere
    directory_crc: int | None = None
    external_attributes: int = 0
    made_by: int = 20
    listed: bool = True            # appears in the central directory
    local_extra: bytes = b""       # extra fields of the local header
    central_extra: bytes = b""     # extra fields of the central directory record


def extra_field(field_id: int, body: bytes) -> bytes:
    return struct.pack("<HH", field_id, len(body)) + body


def unicode_path_field(name: bytes, utf8_name: str, *, crc: int | None = None) -> bytes:
    """Info-ZIP's Unicode Path field for a header whose stored name is NAME."""
    crc = zlib.crc32(name) if crc is None else crc
    return extra_field(0x7075, b"\x01" + struct.pack("<I", crc) + utf8_name.encode())


UNIX_UID_GID_FIELD = extra_field(0x7875, b"\x01\x04\xe8\x03\x00\x00\x04\xe8\x03\x00\x00")
MADE_ON_UNIX = 0x031E
MADE_ON_DOS = 0x0014


def crafted_zip(entries, *, zip64_end=False, extra_directory=(), trailing=b"") -> bytes:
    out = bytearray()
    directory = bytearray()
    count = 0
    for entry in entries + list(extra_directory):
        data = deflate_raw(entry.data) if entry.method == 8 else entry.data
        crc = zlib.crc32(entry.data) if entry.crc is None else entry.crc
        size = len(entry.data) if entry.size is None else entry.size
        flags = entry.flags | (8 if entry.descriptor else 0)
        offset = len(out)
        if entry not in extra_directory:
            local = (0, 0, 0) if entry.descriptor else (crc, len(data), size)
            out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, entry.method, 0, 0, *local,
                               len(entry.name), len(entry.local_extra)) + entry.name + \
                entry.local_extra + data
            if entry.descriptor:
                if entry.descriptor.startswith("sig"):
                    out += struct.pack("<I", 0x08074B50)
                sizes = "<QQ" if entry.descriptor.endswith("64") else "<II"
                out += struct.pack("<I", crc) + struct.pack(sizes, len(data), size)
        if entry.listed:
            directory_crc = crc if entry.directory_crc is None else entry.directory_crc
            directory += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, entry.made_by, 20, flags,
                                     entry.method, 0, 0, directory_crc, len(data), size,
                                     len(entry.name), len(entry.central_extra), 0, 0, 0,
                                     entry.external_attributes, offset) + entry.name + \
                entry.central_extra
            count += 1
    directory_offset = len(out)
    out += directory
    if zip64_end:
        zip64_at = len(out)
        out += struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count,
                           len(directory), directory_offset)
        out += struct.pack("<IIQI", 0x07064B50, 0, zip64_at, 1)
        out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)
    else:
        out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, len(directory),
                           directory_offset, 0)
    return bytes(out) + trailing
