#include "upload/gzip_body.h"

#include <zlib.h>

namespace orlent::upload {

std::optional<std::string> Gzip(const std::string& bytes, std::string* error) {
  z_stream stream = {};
  // windowBits 15 + 16 asks zlib for a gzip header and trailer instead of zlib's own.
  int status = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                            Z_DEFAULT_STRATEGY);
  if (status != Z_OK) {
    *error = "deflateInit2 failed: " + std::to_string(status);
    return std::nullopt;
  }
  std::string out(deflateBound(&stream, static_cast<uLong>(bytes.size())) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  status = deflate(&stream, Z_FINISH);
  const uLong produced = stream.total_out;
  deflateEnd(&stream);
  if (status != Z_STREAM_END) {
    *error = "deflate failed: " + std::to_string(status);
    return std::nullopt;
  }
  out.resize(produced);
  return out;
}

}  // namespace orlent::upload
