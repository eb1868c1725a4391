#include "text/hex.h"

namespace text {

std::string Hex32(uint32_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out = "0x00000000";
  for (int i = 9; i >= 2; --i, value >>= 4) out[i] = kDigits[value & 0xF];
  return out;
}

std::wstring Hex32W(uint32_t value) {
  const std::string narrow = Hex32(value);
  return std::wstring(narrow.begin(), narrow.end());
}

}  // namespace text
