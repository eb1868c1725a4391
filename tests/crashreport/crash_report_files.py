"""Reading what the crash host and the test reporter wrote."""
import struct
from dataclasses import dataclass
from pathlib import Path

EXCEPTION_RECORD_SIZE = 80
CONTEXT_SIZE = 716


def read_key_values(path: Path) -> dict:
    values = {}
    for line in path.read_text(encoding="utf-8").splitlines():
        key, _, value = line.partition("=")
        values[key] = value
    return values


@dataclass
class Context:
    raw: bytes

    def _u32(self, offset):
        return struct.unpack_from("<I", self.raw, offset)[0]

    flags = property(lambda self: self._u32(0))
    ebp = property(lambda self: self._u32(180))
    eip = property(lambda self: self._u32(184))
    esp = property(lambda self: self._u32(196))
    segments = property(lambda self: [self._u32(o) for o in (140, 144, 148, 152, 188, 200)])


@dataclass
class Header:
    raw: bytes

    def u32(self, offset):
        return struct.unpack_from("<I", self.raw, offset)[0]

    total_size = property(lambda self: self.u32(0))
    saved_stack_base = property(lambda self: self.u32(8))
    saved_stack_limit = property(lambda self: self.u32(12))
    process_id = property(lambda self: self.u32(16))
    init_thread_id = property(lambda self: self.u32(20))
    crash_thread_id = property(lambda self: self.u32(24))
    uin = property(lambda self: self.u32(28))
    crash_thread_teb = property(lambda self: self.u32(32))
    exception_pointers = property(lambda self: self.u32(844))
    report_argument = property(lambda self: self.u32(1524))
    record = property(lambda self: self.raw[48:48 + EXCEPTION_RECORD_SIZE])
    context = property(lambda self: Context(self.raw[128:128 + CONTEXT_SIZE]))

    @property
    def exception_code(self):
        return self.u32(48)

    @property
    def exception_address(self):
        return self.u32(48 + 12)

    @property
    def exception_parameter_count(self):
        return self.u32(48 + 16)


@dataclass
class Report:
    values: dict

    @classmethod
    def load(cls, path: Path) -> "Report":
        return cls(read_key_values(path))

    def number(self, key) -> int:
        return int(self.values[key], 16)

    def bytes(self, key) -> bytes:
        return bytes.fromhex(self.values[key])

    @property
    def header(self) -> Header:
        return Header(self.bytes("header"))

    @property
    def strings(self) -> list:
        area = self.bytes("strings").decode("utf-16-le")
        return area.split("\0")[:5]
