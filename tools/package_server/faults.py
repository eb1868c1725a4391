"""Faults requested through a URL's query, and the per-URL request counter that decides
whether they apply to this request."""
import threading
from dataclasses import dataclass
from urllib.parse import parse_qsl

KNOWN = {"drop_after", "stall_after", "status", "corrupt_at", "change", "no_range", "redirect",
         "sha256", "times", "rate", "encoding"}
# Content-Encoding names the server may claim. The body is gzip-compressed under any of them
# (there is no other compressor here): a client must refuse a name it cannot decode before it
# reads a byte, so only the name matters for those.
ENCODINGS = {"gzip", "x-gzip", "br", "deflate", "zstd", "compress"}


class FaultError(ValueError):
    pass


@dataclass
class Faults:
    drop_after: int | None = None
    stall_after: int | None = None
    status: int | None = None
    corrupt_at: int | None = None
    no_range: bool = False
    redirect: str | None = None
    bad_sha256: bool = False
    changed: bool = False          # change=1 and this is the second request or later
    rate: int | None = None        # bytes per second the body is paced to (a slow link)
    encoding: str | None = None    # compress the whole body whatever the client accepts


def _integer(name, value, low=0, high=None):
    try:
        number = int(value, 10)
    except ValueError:
        raise FaultError(f"{name}={value!r} is not a whole number") from None
    if number < low or (high is not None and number > high):
        raise FaultError(f"{name}={value} is out of range")
    return number


class RequestCounter:
    def __init__(self):
        self._lock = threading.Lock()
        self._counts = {}

    def next(self, key: str) -> int:
        """1 for the first request of KEY, 2 for the second, ..."""
        with self._lock:
            self._counts[key] = self._counts.get(key, 0) + 1
            return self._counts[key]


_RATE_UNITS = {"": 1, "K": 1000, "M": 1000 * 1000}


def _rate(value):
    """rate=30M is 30 000 000 bytes per second; K and M are powers of 1000, as link speeds."""
    unit = value[-1:].upper() if value[-1:].isalpha() else ""
    if unit not in _RATE_UNITS:
        raise FaultError(f"rate={value!r}: the unit must be K or M")
    return _integer("rate", value[:len(value) - len(unit)], 1) * _RATE_UNITS[unit]


def parse(query: str, request_number: int) -> Faults:
    """The faults that apply to request number REQUEST_NUMBER of a URL with QUERY. times=K
    limits every fault to the first K requests, except change=1, which is itself about what
    the second and later requests see."""
    params = dict(parse_qsl(query, keep_blank_values=True))
    unknown = set(params) - KNOWN
    if unknown:
        raise FaultError(f"unknown query parameter(s): {', '.join(sorted(unknown))}")
    faults = Faults()
    if params.get("change") not in (None, "0", "1"):
        raise FaultError("change must be 0 or 1")
    faults.changed = params.get("change") == "1" and request_number >= 2
    times = _integer("times", params["times"], 1) if "times" in params else None
    if times is not None and request_number > times:
        return faults
    if "drop_after" in params:
        faults.drop_after = _integer("drop_after", params["drop_after"])
    if "stall_after" in params:
        faults.stall_after = _integer("stall_after", params["stall_after"])
    if "status" in params:
        faults.status = _integer("status", params["status"], 100, 599)
    if "corrupt_at" in params:
        faults.corrupt_at = _integer("corrupt_at", params["corrupt_at"])
    if params.get("no_range") not in (None, "0", "1"):
        raise FaultError("no_range must be 0 or 1")
    faults.no_range = params.get("no_range") == "1"
    if "redirect" in params:
        faults.redirect = params["redirect"]
    if params.get("sha256") not in (None, "bad"):
        raise FaultError("sha256 accepts only 'bad'")
    faults.bad_sha256 = params.get("sha256") == "bad"
    if "rate" in params:
        faults.rate = _rate(params["rate"])
    if "encoding" in params:
        if params["encoding"] not in ENCODINGS:
            raise FaultError(f"encoding must be one of {', '.join(sorted(ENCODINGS))}")
        faults.encoding = params["encoding"]
    return faults
