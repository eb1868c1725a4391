#include "protocol/line_fields.h"

namespace vessick {
namespace {

int HexDigitValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  return -1;
}

}  // namespace

bool ReadHexField(const std::wstring& text, size_t* pos, wchar_t terminator, uint32_t* value) {
  size_t i = *pos;
  uint32_t result = 0;
  int digits = 0;
  while (i < text.size() && text[i] != terminator) {
    const int digit = HexDigitValue(text[i]);
    if (digit < 0 || ++digits > 8) return false;
    result = (result << 4) | static_cast<uint32_t>(digit);
    ++i;
  }
  if (digits == 0 || i >= text.size()) return false;
  *value = result;
  *pos = i + 1;
  return true;
}

bool ReadDecimalField(const std::wstring& text, size_t pos, uint32_t* value) {
  if (pos >= text.size()) return false;
  if (text[pos] == L'0' && pos + 1 != text.size()) return false;  // no leading zeros
  uint64_t result = 0;
  for (size_t i = pos; i < text.size(); ++i) {
    if (text[i] < L'0' || text[i] > L'9') return false;
    result = result * 10 + static_cast<uint64_t>(text[i] - L'0');
    if (result > UINT32_MAX) return false;
  }
  *value = static_cast<uint32_t>(result);
  return true;
}

bool SoleArgument(const wchar_t* commandLine, std::wstring* argument) {
  if (commandLine == nullptr) return false;
  const wchar_t* p = commandLine;
  if (*p == L'"') {
    ++p;
    while (*p != L'\0' && *p != L'"') ++p;
    if (*p == L'"') ++p;
  } else {
    while (*p != L'\0' && *p != L' ' && *p != L'\t') ++p;
  }
  if (*p != L' ' && *p != L'\t') return false;
  while (*p == L' ' || *p == L'\t') ++p;
  argument->assign(p);
  return true;
}

}  // namespace vessick
