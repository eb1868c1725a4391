#include "text/utf.h"

#include <windows.h>

#include <cstdlib>
#include <limits>
#include <memory>

namespace text {

size_t WideBufferBytes(uint32_t units) noexcept {
  const uint64_t bytes = (static_cast<uint64_t>(units) + 1) * sizeof(wchar_t);
  if (bytes > std::numeric_limits<uint32_t>::max() || bytes > std::numeric_limits<size_t>::max())
    return std::numeric_limits<size_t>::max();
  return static_cast<size_t>(bytes);
}

std::wstring Utf8ToWide(const char* utf8) {
  if (utf8 == nullptr) return std::wstring();
  const int units = ::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  if (units <= 0) return std::wstring();

  std::unique_ptr<wchar_t, decltype(&std::free)> buffer(
      static_cast<wchar_t*>(std::calloc(WideBufferBytes(units), 1)), &std::free);
  if (!buffer) return std::wstring();
  ::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, buffer.get(), units);
  return std::wstring(buffer.get());
}


namespace {

void Append(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::string WideToUtf8(std::wstring_view wide) {
  std::string out;
  out.reserve(wide.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    const uint32_t unit = static_cast<uint16_t>(wide[i]);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < wide.size()) {
      const uint32_t next = static_cast<uint16_t>(wide[i + 1]);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        Append(&out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
        ++i;
        continue;
      }
    }
    Append(&out, unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit);
  }
  return out;
}

}  // namespace text
