#include "utf8_text.h"

#include <cstdint>
#include <cstring>

namespace vessick {
namespace {

constexpr wchar_t kReplacement = 0xFFFD;

// For a lead byte: how many continuation bytes follow and the range the first of them must be
// in (which is what rules out overlong forms, surrogates and values past U+10FFFF). Zero
// continuations: not a lead byte.
struct Lead {
  int continuations;
  uint8_t low, high;
  uint32_t bits;
};

Lead ReadLead(uint8_t byte) {
  if (byte >= 0xC2 && byte <= 0xDF) return {1, 0x80, 0xBF, byte & 0x1Fu};
  if (byte == 0xE0) return {2, 0xA0, 0xBF, 0};
  if ((byte >= 0xE1 && byte <= 0xEC) || byte == 0xEE || byte == 0xEF)
    return {2, 0x80, 0xBF, byte & 0x0Fu};
  if (byte == 0xED) return {2, 0x80, 0x9F, 0x0D};
  if (byte == 0xF0) return {3, 0x90, 0xBF, 0};
  if (byte >= 0xF1 && byte <= 0xF3) return {3, 0x80, 0xBF, byte & 0x07u};
  if (byte == 0xF4) return {3, 0x80, 0x8F, 0x04};
  return {0, 0, 0, 0};
}

}  // namespace

size_t Utf16CapacityFor(const char* utf8) noexcept { return std::strlen(utf8) + 1; }

size_t Utf8ToUtf16(const char* utf8, wchar_t* out, size_t capacity) noexcept {
  if (capacity == 0) return 0;
  const auto* in = reinterpret_cast<const uint8_t*>(utf8);
  size_t written = 0;
  auto put = [&](wchar_t unit) {
    if (written + 1 >= capacity) return false;  // keep room for the terminator
    out[written++] = unit;
    return true;
  };
  while (*in != 0) {
    const uint8_t first = *in;
    if (first < 0x80) {
      if (!put(static_cast<wchar_t>(first))) break;
      ++in;
      continue;
    }
    const Lead lead = ReadLead(first);
    ++in;
    if (lead.continuations == 0) {
      if (!put(kReplacement)) break;
      continue;
    }
    uint32_t codePoint = lead.bits;
    int taken = 0;
    uint8_t low = lead.low, high = lead.high;
    // A byte out of range (the terminator included) ends the subpart without being consumed.
    while (taken < lead.continuations && *in >= low && *in <= high) {
      codePoint = (codePoint << 6) | (*in & 0x3Fu);
      ++in;
      ++taken;
      low = 0x80;
      high = 0xBF;
    }
    if (taken < lead.continuations) {
      if (!put(kReplacement)) break;
      continue;
    }
    if (codePoint < 0x10000) {
      if (!put(static_cast<wchar_t>(codePoint))) break;
    } else {
      if (written + 2 >= capacity) break;
      codePoint -= 0x10000;
      put(static_cast<wchar_t>(0xD800 + (codePoint >> 10)));
      put(static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF)));
    }
  }
  out[written] = L'\0';
  return written;
}

}  // namespace vessick
