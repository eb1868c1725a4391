// What a response's Content-Encoding means for the package bytes. The library asks for the
// identity coding; a server that compresses anyway with gzip is decoded here, any other coding
// is refused by name (its bytes are not the package).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <zlib.h>

namespace quennet {

enum class ContentCoding { kIdentity, kGzip, kUnsupported };

// Reads a Content-Encoding value: absent, empty or "identity" is the identity; "gzip" or
// "x-gzip" (once, in any case, with identity entries around it ignored) is gzip; anything else,
// a list of two real codings included, is unsupported.
ContentCoding ClassifyContentEncoding(const std::wstring& header);

// Inflates a gzip body (one or more members, as RFC 1952 allows) as it arrives.
class GzipDecoder {
 public:
  enum class Status { kOk, kCorrupt };

  GzipDecoder();
  ~GzipDecoder();
  GzipDecoder(const GzipDecoder&) = delete;
  GzipDecoder& operator=(const GzipDecoder&) = delete;

  bool Ready() const { return ready_; }
  // Decodes from `in` into `out`; reports how much of each was used. Call again with the rest
  // of the input while it is not used up.
  Status Decode(const std::uint8_t* in, std::size_t inSize, std::size_t* used, std::uint8_t* out,
                std::size_t room, std::size_t* produced);
  // True when the input so far ends at the end of a member: a clean end of the body.
  bool AtMemberEnd() const { return atMemberEnd_; }

 private:
  z_stream stream_ = {};
  bool ready_ = false;
  bool atMemberEnd_ = false;
};

}  // namespace quennet
