// An owner for one zlib inflate stream (raw deflate for ZIP entries, gzip for tar.gz).
#pragma once

#include <zlib.h>

#include <string>

namespace quennet {

class Inflater {
 public:
  enum class Framing { kRawDeflate, kGzip };

  explicit Inflater(Framing framing) {
    ready_ = inflateInit2(&stream_, framing == Framing::kRawDeflate ? -MAX_WBITS : 16 + MAX_WBITS) ==
             Z_OK;
  }
  ~Inflater() {
    if (ready_) inflateEnd(&stream_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // False when zlib could not allocate its state.
  bool ready() const { return ready_; }
  void Reset() { inflateReset(&stream_); }
  z_stream& stream() { return stream_; }

  // zlib's own words for the last failure, for the texts people read.
  std::wstring Message(int result) const {
    const char* text = stream_.msg != nullptr ? stream_.msg : zError(result);
    return std::wstring(text, text + std::char_traits<char>::length(text));
  }

 private:
  z_stream stream_{};
  bool ready_ = false;
};

}  // namespace quennet
