#include "utf8.h"

#include <windows.h>

#include <cstdlib>
#include <limits>
#include <memory>

namespace vessick {

size_t WideBufferBytes(uint32_t units) noexcept {
  const uint64_t bytes = (static_cast<uint64_t>(units) + 1) * sizeof(wchar_t);
  if (bytes > std::numeric_limits<uint32_t>::max() || bytes > std::numeric_limits<size_t>::max())
    return std::numeric_limits<size_t>::max();
  return static_cast<size_t>(bytes);
}

std::wstring Utf8ToWide(const char* text) {
  if (text == nullptr) return std::wstring();
  const int units = ::MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (units <= 0) return std::wstring();

  std::unique_ptr<wchar_t, decltype(&std::free)> buffer(
      static_cast<wchar_t*>(std::calloc(WideBufferBytes(units), 1)), &std::free);
  if (!buffer) return std::wstring();
  ::MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer.get(), units);
  return std::wstring(buffer.get());
}

}  // namespace vessick
