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


def u32_at(offset):
    """A read-only field: the little-endian 32-bit number at `offset` of the object's raw bytes."""
    return property(lambda self: struct.unpack_from("<I", self.raw, offset)[0])


@dataclass
class Context:
    raw: bytes

    flags = u32_at(0)
    ebp = u32_at(180)
    eip = u32_at(184)
    esp = u32_at(196)


@dataclass
class Header:
    raw: bytes

    total_size = u32_at(0)
    saved_stack_base = u32_at(8)
    saved_stack_limit = u32_at(12)
    process_id = u32_at(16)
    init_thread_id = u32_at(20)
    crash_thread_id = u32_at(24)
    uin = u32_at(28)
    crash_thread_teb = u32_at(32)
    exception_pointers = u32_at(844)
    report_argument = u32_at(1524)
    record = property(lambda self: self.raw[48:48 + EXCEPTION_RECORD_SIZE])
    context = property(lambda self: Context(self.raw[128:128 + CONTEXT_SIZE]))
    exception_code = u32_at(48)          # inside the exception record
    exception_address = u32_at(48 + 12)
    exception_parameter_count = u32_at(48 + 16)


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
