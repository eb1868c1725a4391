"""A seekable, read-only file over HTTP ranges, so that zipfile can open an archive of any size
by reading only its central directory and the entries asked for."""
import http.client
import io


class RangedReader(io.RawIOBase):
    def __init__(self, host, port, path):
        self._connection = http.client.HTTPConnection(host, port, timeout=60)
        self._path = path
        self._connection.request("HEAD", path)
        reply = self._connection.getresponse()
        reply.read()
        assert reply.status == 200, reply.status
        self.size = int(reply.getheader("Content-Length"))
        self.etag = reply.getheader("ETag")
        self._position = 0

    def readable(self):
        return True

    def seekable(self):
        return True

    def tell(self):
        return self._position

    def seek(self, offset, whence=io.SEEK_SET):
        base = {io.SEEK_SET: 0, io.SEEK_CUR: self._position, io.SEEK_END: self.size}[whence]
        self._position = base + offset
        return self._position

    def read(self, size=-1):
        end = self.size if size is None or size < 0 else min(self.size, self._position + size)
        if end <= self._position:
            return b""
        self._connection.request("GET", self._path, headers={
            "Range": f"bytes={self._position}-{end - 1}", "If-Range": self.etag})
        reply = self._connection.getresponse()
        data = reply.read()
        assert reply.status == 206, reply.status
        assert len(data) == end - self._position
        self._position = end
        return data

    def readinto(self, buffer):
        data = self.read(len(buffer))
        buffer[:len(data)] = data
        return len(data)

    def close(self):
        self._connection.close()
        super().close()
