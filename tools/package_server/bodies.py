"""What a package or file URL serves: a size, validators, and the bytes of any range, with the
byte-level faults (a flipped byte, a changed file) applied on the way out."""
import hashlib
import os
import threading
import zlib
from email.utils import formatdate

from zip_layout import ZipLayout

_CHUNK = 1 << 20
# A package's stable date; a changed package is one day newer.
_PACKAGE_TIME = 1704110400           # 2024-01-01 12:00:00 UTC
_DAY = 86400


class Body:
    size: int
    etag: str
    last_modified: str
    sha256: str | None = None

    def chunks(self, start: int, end: int):
        """memoryviews covering [start, end)."""
        raise NotImplementedError


class PackageBody(Body):
    def __init__(self, name: str, layout: ZipLayout):
        self._layout = layout
        self.size = layout.size
        self.etag = f'"pkg-{name}-{layout.size:x}"'
        self.last_modified = formatdate(_PACKAGE_TIME, usegmt=True)

    def chunks(self, start, end):
        while start < end:
            piece = self._layout.window(start, min(end - start, _CHUNK))
            yield piece
            start += len(piece)


class _Sha256Cache:
    def __init__(self):
        self._lock = threading.Lock()
        self._known = {}

    def of(self, key, compute):
        with self._lock:
            if key in self._known:
                return self._known[key]
        digest = compute()
        with self._lock:
            self._known[key] = digest
        return digest


_sha256_cache = _Sha256Cache()


class FileBody(Body):
    def __init__(self, path: str):
        self._path = path
        status = os.stat(path)
        self.size = status.st_size
        self._key = (path, status.st_size, status.st_mtime_ns, status.st_ino)
        self.sha256 = _sha256_cache.of(self._key, lambda: _sha256_of(self.chunks(0, self.size)))
        self.etag = f'"file-{self.sha256[:32]}"'
        self.last_modified = formatdate(status.st_mtime, usegmt=True)

    def chunks(self, start, end):
        with open(self._path, "rb") as file:
            file.seek(start)
            while start < end:
                data = file.read(min(_CHUNK, end - start))
                if not data:
                    raise OSError(f"{self._path} became shorter while being served")
                yield memoryview(data)
                start += len(data)


def _sha256_of(chunks) -> str:
    digest = hashlib.sha256()
    for chunk in chunks:
        digest.update(chunk)
    return digest.hexdigest()


class AlteredBody(Body):
    """BASE with bytes XORed at given absolute offsets. Used for corrupt_at (every bit of one
    byte flipped; validators unchanged, so the client cannot tell) and for change=1 (a few
    bytes differ and the validators are new: a different file)."""

    def __init__(self, base: Body, xor_masks: dict, new_identity: bool):
        self._base = base
        self._masks = {offset: mask for offset, mask in xor_masks.items() if 0 <= offset < base.size}
        self.size = base.size
        if new_identity:
            self.etag = base.etag[:-1] + '-changed"'
            self.last_modified = _one_day_later(base.last_modified)
        else:
            self.etag, self.last_modified = base.etag, base.last_modified
        self.sha256 = None
        if base.sha256 is not None:
            self.sha256 = (base.sha256 if not self._masks else
                           _sha256_cache.of(("altered", base.etag, tuple(sorted(self._masks.items()))),
                                            lambda: _sha256_of(self.chunks(0, self.size))))

    def chunks(self, start, end):
        position = start
        for chunk in self._base.chunks(start, end):
            chunk_end = position + len(chunk)
            hits = [offset for offset in self._masks if position <= offset < chunk_end]
            if hits:
                altered = bytearray(chunk)
                for offset in hits:
                    altered[offset - position] ^= self._masks[offset]
                chunk = memoryview(altered)
            yield chunk
            position = chunk_end


class EncodedBody(Body):
    """BASE compressed as a whole with gzip (the way a web server with compression switched on
    answers whatever Accept-Encoding says): the length is the compressed one, the validator is
    weak (the bytes are not the file's), and X-Checksum-SHA256 still names the package."""

    LARGEST = 256 << 20

    def __init__(self, base: Body):
        if base.size > self.LARGEST:
            raise ValueError(f"an encoded body is built in memory: {base.size} bytes is too many")
        compressor = zlib.compressobj(6, zlib.DEFLATED, 16 + zlib.MAX_WBITS)
        parts = [compressor.compress(chunk) for chunk in base.chunks(0, base.size)]
        parts.append(compressor.flush())
        self._data = memoryview(b"".join(parts))
        self.size = len(self._data)
        self.etag = "W/" + base.etag
        self.last_modified = base.last_modified
        self.sha256 = base.sha256

    def chunks(self, start, end):
        while start < end:
            piece = self._data[start:min(end, start + _CHUNK)]
            yield piece
            start += len(piece)


def change_offsets(size: int):
    """Where a changed file differs: at its quarters (inside the data of a large archive, away
    from the signatures at both ends)."""
    return {offset: 0x5A for offset in {size // 4, size // 2, 3 * size // 4} if size > 0}


def _one_day_later(http_date: str) -> str:
    from email.utils import parsedate_to_datetime
    return formatdate(parsedate_to_datetime(http_date).timestamp() + _DAY, usegmt=True)
