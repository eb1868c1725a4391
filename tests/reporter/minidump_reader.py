"""A minidump reader of our own, independent of dbghelp and of the reporter: just enough of the
format to check what the reporter wrote."""
import struct
from dataclasses import dataclass, field
from pathlib import Path

THREAD_LIST = 3
MODULE_LIST = 4
MEMORY_LIST = 5
EXCEPTION = 6
BLOCK_STREAM = 0x4F524C01  # the raw bug-info block, as the reporter stores it

CONTEXT_EIP = 184
CONTEXT_ESP = 196


@dataclass
class Exception_:
    thread_id: int
    code: int
    address: int
    parameters: list
    context: bytes

    @property
    def eip(self):
        return struct.unpack_from("<I", self.context, CONTEXT_EIP)[0]


@dataclass
class Thread:
    thread_id: int
    stack_start: int
    stack: bytes
    context: bytes

    @property
    def esp(self):
        return struct.unpack_from("<I", self.context, CONTEXT_ESP)[0]


@dataclass
class Minidump:
    data: bytes
    streams: dict = field(default_factory=dict)  # type -> (rva, size)

    @classmethod
    def load(cls, path: Path) -> "Minidump":
        data = Path(path).read_bytes()
        signature, version, count, directory = struct.unpack_from("<4sIII", data, 0)
        assert signature == b"MDMP", signature
        assert version & 0xFFFF == 0xA793, hex(version)
        dump = cls(data)
        for i in range(count):
            kind, size, rva = struct.unpack_from("<III", data, directory + 12 * i)
            assert rva + size <= len(data), f"stream {kind} outside the file"
            if kind:
                dump.streams[kind] = (rva, size)
        return dump

    def stream(self, kind) -> bytes:
        rva, size = self.streams[kind]
        return self.data[rva:rva + size]

    def _location(self, offset):
        size, rva = struct.unpack_from("<II", self.data, offset)
        return self.data[rva:rva + size]

    def threads(self):
        rva, _ = self.streams[THREAD_LIST]
        (count,) = struct.unpack_from("<I", self.data, rva)
        threads = []
        for i in range(count):
            entry = rva + 4 + 48 * i
            thread_id = struct.unpack_from("<I", self.data, entry)[0]
            (start,) = struct.unpack_from("<Q", self.data, entry + 24)
            threads.append(Thread(thread_id, start, self._location(entry + 32),
                                  self._location(entry + 40)))
        return threads

    def memory_ranges(self):
        """(start, size) of every range in the memory list."""
        rva, _ = self.streams[MEMORY_LIST]
        (count,) = struct.unpack_from("<I", self.data, rva)
        return [struct.unpack_from("<QI", self.data, rva + 4 + 16 * i) for i in range(count)]

    def thread_ids(self):
        rva, _ = self.streams[THREAD_LIST]
        (count,) = struct.unpack_from("<I", self.data, rva)
        return [struct.unpack_from("<I", self.data, rva + 4 + 48 * i)[0] for i in range(count)]

    def module_names(self):
        rva, _ = self.streams[MODULE_LIST]
        (count,) = struct.unpack_from("<I", self.data, rva)
        names = []
        for i in range(count):
            name_rva = struct.unpack_from("<I", self.data, rva + 4 + 108 * i + 20)[0]
            (length,) = struct.unpack_from("<I", self.data, name_rva)
            names.append(self.data[name_rva + 4:name_rva + 4 + length].decode("utf-16-le"))
        return names

    def exception(self) -> Exception_:
        rva, _ = self.streams[EXCEPTION]
        thread_id, _, code, _, _, address, count = struct.unpack_from("<IIIIQQI", self.data, rva)
        parameters = list(struct.unpack_from("<15Q", self.data, rva + 40))[:count]
        context = self._location(rva + 8 + 152)
        return Exception_(thread_id, code, address, parameters, context)
