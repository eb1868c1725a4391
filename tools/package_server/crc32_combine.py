"""CRC-32 of data that is never materialised: the CRC of a concatenation from the CRCs of its
parts (zlib's crc32_combine, as GF(2) linear operators on the 32-bit register).

An operator is a list of 32 ints: column i is the image of register bit i. The operators for
appending 2**k zero bytes are built once, so combining costs at most one matrix-vector product
per set bit of the length."""
import zlib

_POLY = 0xEDB88320
_MAX_LENGTH_BITS = 48


def _apply(operator, vector):
    result = 0
    i = 0
    while vector:
        if vector & 1:
            result ^= operator[i]
        vector >>= 1
        i += 1
    return result


def _square(operator):
    return [_apply(operator, column) for column in operator]


def _zero_byte_operators():
    one_zero_bit = [_POLY] + [1 << (i - 1) for i in range(1, 32)]
    operator = one_zero_bit
    for _ in range(3):                      # 1 bit -> 2 -> 4 -> 8 bits: one zero byte
        operator = _square(operator)
    operators = [operator]
    for _ in range(_MAX_LENGTH_BITS):
        operators.append(_square(operators[-1]))
    return operators


_ZERO_BYTES = _zero_byte_operators()        # _ZERO_BYTES[k]: append 2**k zero bytes


def shift(crc: int, length: int) -> int:
    """The register CRC after LENGTH zero bytes are appended, without conditioning."""
    k = 0
    while length:
        if length & 1:
            crc = _apply(_ZERO_BYTES[k], crc)
        length >>= 1
        k += 1
    return crc


def combine(crc_a: int, crc_b: int, length_b: int) -> int:
    """crc32(A + B) from crc32(A), crc32(B) and len(B)."""
    return shift(crc_a, length_b) ^ crc_b


def repeat(crc_unit: int, unit_length: int, count: int) -> int:
    """crc32(U * COUNT) from crc32(U) and len(U), by doubling."""
    result, result_length = 0, 0
    power, power_length = crc_unit, unit_length
    while count:
        if count & 1:
            result = combine(result, power, power_length) if result_length else power
            result_length += power_length
        count >>= 1
        if count:
            power = combine(power, power, power_length)
            power_length *= 2
    return result


def crc32(data) -> int:
    return zlib.crc32(data) & 0xFFFFFFFF
