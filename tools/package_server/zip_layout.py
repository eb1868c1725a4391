"""A ZIP archive laid out as a list of parts (literal bytes, or runs of the content pool), so
that any byte range can be produced without building the archive. ZIP64 records are written
only where a size, an offset or the entry count does not fit the classic fields."""
import bisect
import struct
from dataclasses import dataclass

import content_pool

_U32_LIMIT = 0xFFFFFFFF
_U16_LIMIT = 0xFFFF
_FLAG_UTF8 = 0x0800
_STORED, _DEFLATED = 0, 8
_MADE_BY_UNIX = 3 << 8
# 2024-01-01 12:00:00, in MS-DOS form.
_DOS_DATE = ((2024 - 1980) << 9) | (1 << 5) | 1
_DOS_TIME = 12 << 11


@dataclass
class Entry:
    name: str                     # folder names end with "/"
    size: int = 0                 # uncompressed size
    crc: int = 0
    pool_start: int | None = None  # stored content: a pool run from here
    deflated: bytes | None = None  # deflated content (raw deflate stream)

    @property
    def is_folder(self):
        return self.name.endswith("/")


class Literal:
    __slots__ = ("data",)

    def __init__(self, data: bytes):
        self.data = memoryview(data)

    def __len__(self):
        return len(self.data)

    def window(self, offset: int, length: int) -> memoryview:
        return self.data[offset:offset + length]


class PoolRun:
    __slots__ = ("start", "length")

    def __init__(self, start: int, length: int):
        self.start, self.length = start, length

    def __len__(self):
        return self.length

    def window(self, offset: int, length: int) -> memoryview:
        return content_pool.window(self.start + offset, min(length, self.length - offset))


class ZipLayout:
    """The archive of ENTRIES (in order) as parts; window() maps an offset to bytes in
    O(log parts)."""

    def __init__(self, entries):
        self.entries = list(entries)
        self._parts, self._starts = [], []
        self._pending = bytearray()
        self._offset = 0
        central = bytearray()
        for entry in self.entries:
            central += self._add_entry(entry)
        self.central_directory_offset = self._offset
        self._emit_bytes(central)
        self._emit_bytes(self._end_records(len(self.entries), self.central_directory_offset,
                                           len(central)))
        self._flush()
        self.size = self._offset

    # -- building --

    def _emit_bytes(self, data):
        self._pending += data
        self._offset += len(data)

    def _flush(self):
        if self._pending:
            self._parts.append(Literal(bytes(self._pending)))
            self._starts.append(self._offset - len(self._pending))
            self._pending = bytearray()

    def _emit_run(self, start, length):
        if length:
            self._flush()
            self._parts.append(PoolRun(start, length))
            self._starts.append(self._offset)
            self._offset += length

    def _add_entry(self, entry: Entry) -> bytes:
        name = entry.name.encode("utf-8")
        flags = _FLAG_UTF8 if not entry.name.isascii() else 0
        method = _DEFLATED if entry.deflated is not None else _STORED
        compressed = len(entry.deflated) if entry.deflated is not None else entry.size
        header_offset = self._offset
        big_sizes = entry.size >= _U32_LIMIT or compressed >= _U32_LIMIT

        local_extra = struct.pack("<HHQQ", 1, 16, entry.size, compressed) if big_sizes else b""
        needed = 45 if big_sizes else (20 if method == _DEFLATED or entry.is_folder else 10)
        self._emit_bytes(struct.pack(
            "<IHHHHHIIIHH", 0x04034B50, needed, flags, method, _DOS_TIME, _DOS_DATE, entry.crc,
            _U32_LIMIT if big_sizes else compressed, _U32_LIMIT if big_sizes else entry.size,
            len(name), len(local_extra)) + name + local_extra)
        if entry.deflated is not None:
            self._emit_bytes(entry.deflated)
        else:
            self._emit_run(entry.pool_start, entry.size)

        zip64_fields = []
        if entry.size >= _U32_LIMIT:
            zip64_fields.append(entry.size)
        if compressed >= _U32_LIMIT:
            zip64_fields.append(compressed)
        if header_offset >= _U32_LIMIT:
            zip64_fields.append(header_offset)
        central_extra = (struct.pack("<HH", 1, 8 * len(zip64_fields)) +
                         struct.pack(f"<{len(zip64_fields)}Q", *zip64_fields)
                         if zip64_fields else b"")
        if zip64_fields:
            needed = 45
        mode = 0o40755 if entry.is_folder else 0o100644
        attributes = (mode << 16) | (0x10 if entry.is_folder else 0)
        return struct.pack(
            "<IHHHHHHIIIHHHHHII", 0x02014B50, _MADE_BY_UNIX | 45, needed, flags, method,
            _DOS_TIME, _DOS_DATE, entry.crc, min(compressed, _U32_LIMIT),
            min(entry.size, _U32_LIMIT), len(name), len(central_extra), 0, 0, 0, attributes,
            min(header_offset, _U32_LIMIT)) + name + central_extra

    def _end_records(self, count, cd_offset, cd_size) -> bytes:
        records = b""
        if count >= _U16_LIMIT or cd_offset >= _U32_LIMIT or cd_size >= _U32_LIMIT:
            zip64_end_offset = self._offset
            records += struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, _MADE_BY_UNIX | 45, 45, 0, 0,
                                   count, count, cd_size, cd_offset)
            records += struct.pack("<IIQI", 0x07064B50, 0, zip64_end_offset, 1)
        records += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, min(count, _U16_LIMIT),
                               min(count, _U16_LIMIT), min(cd_size, _U32_LIMIT),
                               min(cd_offset, _U32_LIMIT), 0)
        return records

    # -- reading --

    def window(self, offset: int, length: int) -> memoryview:
        """Bytes from OFFSET: at most LENGTH, possibly fewer (one part's worth)."""
        index = bisect.bisect_right(self._starts, offset) - 1
        return self._parts[index].window(offset - self._starts[index], length)
