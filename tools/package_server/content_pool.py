"""File contents made from one fixed pseudo-random pool, read cyclically from a per-file start.

Byte x of a file with start s is POOL[(s + x) mod POOL_SIZE]. The pool size is a prime, so a
file's bytes do not repeat at any power-of-two distance: a chunk written at the wrong offset by
a whole number of buffers still shows as a mismatch. The pool is stored twice in a row so that
any window up to POOL_SIZE long is one contiguous memoryview (no copy when serving)."""
import random
import zlib

import crc32_combine

POOL_SIZE = 1_000_003
_PREFIX_STEP = 4096

_pool = random.Random(0x51A7E5).randbytes(POOL_SIZE)
_doubled = memoryview(_pool + _pool)


def _prefix_crcs():
    crcs, crc = [0], 0
    for start in range(0, POOL_SIZE, _PREFIX_STEP):
        crc = zlib.crc32(_pool[start:start + _PREFIX_STEP], crc)
        crcs.append(crc)
    return crcs


_PREFIX_CRCS = _prefix_crcs()               # _PREFIX_CRCS[k]: crc32 of the first k*4096 bytes


def _crc_of_prefix(end: int) -> int:
    k = end // _PREFIX_STEP
    return zlib.crc32(_pool[k * _PREFIX_STEP:end], _PREFIX_CRCS[k])


def _crc_of_range(start: int, end: int) -> int:
    """crc32 of POOL[start:end] for 0 <= start <= end <= POOL_SIZE, reading at most 8 KiB."""
    return _crc_of_prefix(end) ^ crc32_combine.shift(_crc_of_prefix(start), end - start)


_POOL_CRC = _crc_of_prefix(POOL_SIZE)


def crc_of_run(start: int, length: int) -> int:
    """crc32 of LENGTH bytes read cyclically from pool offset START."""
    if start + length <= POOL_SIZE:
        if length <= 4 * _PREFIX_STEP:
            return zlib.crc32(_doubled[start:start + length])
        return _crc_of_range(start, start + length)
    head = POOL_SIZE - start
    crc = _crc_of_range(start, POOL_SIZE)
    rest = length - head
    whole, tail = divmod(rest, POOL_SIZE)
    if whole:
        crc = crc32_combine.combine(crc, crc32_combine.repeat(_POOL_CRC, POOL_SIZE, whole),
                                    whole * POOL_SIZE)
    if tail:
        crc = crc32_combine.combine(crc, _crc_of_prefix(tail), tail)
    return crc


def window(run_offset: int, length: int) -> memoryview:
    """Up to LENGTH bytes (at most POOL_SIZE) of a run, from RUN_OFFSET = start + position."""
    position = run_offset % POOL_SIZE
    return _doubled[position:position + min(length, POOL_SIZE)]


def materialise(start: int, length: int) -> bytes:
    """The whole run as bytes (for tests and for small runs only)."""
    parts, done = [], 0
    while done < length:
        piece = window(start + done, length - done)
        parts.append(bytes(piece))
        done += len(piece)
    return b"".join(parts)
