"""The generated menu packages are ZIP archives a normal unzip accepts, with the sizes the menu
promises, the same bytes on every request, and CRCs that match their contents."""
import io
import re
import socket
import time
import zipfile
import zlib

import pytest

from conftest import fetch
from package_server import running_server
from ranged_reader import RangedReader

MiB, GiB = 1 << 20, 1 << 30
READ_PIECE = 16 * MiB

# name, size range of the whole package, size of a large entry that must be there, ZIP64 needed
PACKAGES = [
    ("220M", (200 * MiB, 240 * MiB), None, False),
    ("480M", (450 * MiB, 520 * MiB), None, False),
    ("1.7G", (1600 * MiB, 1800 * MiB), 1536 * MiB, False),
    ("60G", (58 * GiB, 62 * GiB), 5 * GiB, True),
]


def crc_of_entry(archive, info, limit=None):
    crc, done = 0, 0
    with archive.open(info) as entry:
        while limit is None or done < limit:
            piece = entry.read(READ_PIECE if limit is None else min(READ_PIECE, limit - done))
            if not piece:
                break
            crc = zlib.crc32(piece, crc)
            done += len(piece)
    return crc, done


def check_shape(infos):
    """Folders, stored and deflated files, Chinese names flagged UTF-8, empty files."""
    names = [info.filename for info in infos]
    assert len(names) == len(set(names))
    assert any(info.is_dir() for info in infos)
    files = [info for info in infos if not info.is_dir()]
    methods = {info.compress_type for info in files}
    assert methods == {zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED}
    deflated = [info for info in files if info.compress_type == zipfile.ZIP_DEFLATED]
    assert all(info.compress_size < info.file_size for info in deflated)
    chinese = [info for info in infos if not info.filename.isascii()]
    assert len(chinese) >= 3 and all(info.flag_bits & 0x800 for info in chinese)
    assert all(not info.flag_bits & 0x800 for info in infos if info.filename.isascii())
    assert any(info.file_size == 0 for info in files)
    assert len(files) > 300


def test_155M_package_extracts_whole_with_every_crc_right(server):
    status, headers, body = fetch(server, "/packages/155M")
    assert status == 200 and len(body) == int(headers["Content-Length"])
    assert 150 * MiB <= len(body) <= 170 * MiB
    archive = zipfile.ZipFile(io.BytesIO(body))
    assert archive.testzip() is None                     # reads every entry, checks each CRC
    check_shape(archive.infolist())
    again = fetch(server, "/packages/155M")
    assert again[1]["ETag"] == headers["ETag"] and again[2] == body


@pytest.mark.parametrize("name,size_range,large_entry,zip64", PACKAGES,
                         ids=[p[0] for p in PACKAGES])
def test_large_package_directory_and_sampled_entries(server, name, size_range, large_entry,
                                                     zip64):
    reader = RangedReader("127.0.0.1", server.http_port, f"/packages/{name}")
    try:
        assert size_range[0] <= reader.size <= size_range[1]
        archive = zipfile.ZipFile(reader)
        infos = archive.infolist()
        check_shape(infos)
        end = infos[-1].header_offset + 30 + len(infos[-1].filename.encode()) + infos[-1].compress_size
        assert sum(info.compress_size for info in infos) < end <= reader.size
        assert (max(info.header_offset for info in infos) >= 1 << 32) == zip64
        files = [info for info in infos if not info.is_dir() and info.file_size]
        largest = max(files, key=lambda info: info.file_size)
        if large_entry:
            assert largest.file_size == large_entry
        # Sample: the first and last entries, some deflated ones, one past 4 GiB when there is
        # one; whole entries are read (zipfile checks the CRC at the end of each).
        samples = files[:3] + files[-2:] + [i for i in files if i.compress_type == 8][-2:]
        samples += [i for i in files if i.header_offset >= 1 << 32 and i.file_size < 64 * MiB][:1]
        for info in samples:
            assert crc_of_entry(archive, info) == (info.CRC, info.file_size), info.filename
        # The large entry: whole when it fits a test's time, else its first 64 MiB (zipfile's
        # CRC check then cannot run, so the bytes are compared with a second, ranged read).
        if largest.file_size <= 2 * GiB:
            assert crc_of_entry(archive, largest) == (largest.CRC, largest.file_size)
        else:
            first, _ = crc_of_entry(archive, largest, limit=64 * MiB)
            data_start = largest.header_offset + 30 + len(largest.filename.encode()) + 20
            reader.seek(data_start)
            assert zlib.crc32(reader.read(64 * MiB)) == first
    finally:
        reader.close()


def test_same_bytes_on_every_request_and_across_servers(server):
    status, headers, body = fetch(server, "/packages/480M", {"Range": "bytes=300000000-300999999"})
    assert status == 206 and len(body) == 1_000_000
    with running_server(tls=False) as other:
        again = fetch(other, "/packages/480M", {"Range": "bytes=300000000-300999999"})
    assert again[2] == body and again[1]["ETag"] == headers["ETag"]


def _receive_and_discard(port, path):
    """Bytes per second of one whole GET, read into a reused buffer (no client overhead)."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as connection:
        connection.sendall(f"GET {path} HTTP/1.1\r\nHost: localhost\r\n\r\n".encode())
        buffer = memoryview(bytearray(1 << 20))
        received = connection.recv_into(buffer)
        head_end = bytes(buffer[:received]).index(b"\r\n\r\n") + 4
        length = int(re.search(rb"Content-Length: (\d+)", bytes(buffer[:head_end])).group(1))
        body = received - head_end
        started = time.monotonic()
        while body < length:
            count = connection.recv_into(buffer)
            assert count, "connection closed early"
            body += count
        return length / (time.monotonic() - started)


def test_server_is_ready_fast_and_serves_over_a_gigabyte_a_second(server):
    started = time.monotonic()
    with running_server(tls=False):
        ready = time.monotonic() - started
    assert ready < 2.0, f"ready after {ready:.2f} s"
    fetch(server, "/packages/1.7G", method="HEAD")          # built before the clock starts
    rate = _receive_and_discard(server.http_port, "/packages/1.7G")
    # Wine's WinHTTP reaches at most about 430 MB/s: the server must never be what limits it.
    assert rate > 1e9, f"{rate / 1e6:.0f} MB/s"
