#include "net/content_coding.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>

namespace quennet {
namespace {

std::wstring Trimmed(const std::wstring& text) {
  const size_t first = text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return {};
  const size_t last = text.find_last_not_of(L" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

ContentCoding ClassifyContentEncoding(const std::wstring& header) {
  int gzip = 0;
  size_t start = 0;
  for (;;) {
    const size_t comma = header.find(L',', start);
    const std::wstring item =
        Trimmed(header.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start));
    if (!item.empty() && _wcsicmp(item.c_str(), L"identity") != 0) {
      if (_wcsicmp(item.c_str(), L"gzip") == 0 || _wcsicmp(item.c_str(), L"x-gzip") == 0)
        ++gzip;
      else
        return ContentCoding::kUnsupported;
    }
    if (comma == std::wstring::npos) break;
    start = comma + 1;
  }
  if (gzip == 0) return ContentCoding::kIdentity;
  return gzip == 1 ? ContentCoding::kGzip : ContentCoding::kUnsupported;
}

GzipDecoder::GzipDecoder() {
  // 16 + 15: a gzip wrapper (not zlib's, not raw deflate) around a window of up to 32 KiB.
  ready_ = inflateInit2(&stream_, 16 + MAX_WBITS) == Z_OK;
}

GzipDecoder::~GzipDecoder() {
  if (ready_) inflateEnd(&stream_);
}

GzipDecoder::Status GzipDecoder::Decode(const std::uint8_t* in, std::size_t inSize,
                                        std::size_t* used, std::uint8_t* out, std::size_t room,
                                        std::size_t* produced) {
  *used = 0;
  *produced = 0;
  if (!ready_) return Status::kCorrupt;
  while (*used < inSize && *produced < room) {
    if (atMemberEnd_) {
      // Another member follows the one that ended.
      if (inflateReset(&stream_) != Z_OK) return Status::kCorrupt;
      atMemberEnd_ = false;
    }
    const uInt inPiece = static_cast<uInt>(std::min<std::size_t>(inSize - *used, 1u << 30));
    const uInt outPiece = static_cast<uInt>(std::min<std::size_t>(room - *produced, 1u << 30));
    stream_.next_in = const_cast<Bytef*>(in + *used);
    stream_.avail_in = inPiece;
    stream_.next_out = out + *produced;
    stream_.avail_out = outPiece;
    const int result = inflate(&stream_, Z_NO_FLUSH);
    *used += inPiece - stream_.avail_in;
    *produced += outPiece - stream_.avail_out;
    if (result == Z_STREAM_END) {
      atMemberEnd_ = true;
    } else if (result == Z_BUF_ERROR) {
      break;  // needs more input or more room: the caller comes back
    } else if (result != Z_OK) {
      return Status::kCorrupt;
    }
  }
  return Status::kOk;
}

}  // namespace quennet
