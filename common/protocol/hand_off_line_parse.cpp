#include "protocol/hand_off_line.h"

namespace vessick {
namespace {

constexpr wchar_t kPrefix[] = L"/buginfo:";

int HexDigitValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  return -1;
}

// Reads one hexadecimal field ending at `terminator` (or at the end when it is 0).
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
  if (digits == 0 || i >= text.size()) return false;  // every hex field is followed by ':'
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

}  // namespace

std::optional<HandOff> ParseHandOffArgument(const std::wstring& argument, std::wstring* error) {
  const std::wstring prefix = kPrefix;
  if (argument.compare(0, prefix.size(), prefix) != 0) {
    *error = L"the argument does not start with /buginfo:";
    return std::nullopt;
  }
  size_t pos = prefix.size();
  uint32_t event = 0, process = 0, block = 0, processId = 0;
  if (!ReadHexField(argument, &pos, L':', &event) ||
      !ReadHexField(argument, &pos, L':', &process) ||
      !ReadHexField(argument, &pos, L':', &block)) {
    *error = L"the event, process and block fields must be 1 to 8 hexadecimal digits, "
             L"each followed by ':'";
    return std::nullopt;
  }
  if (!ReadDecimalField(argument, pos, &processId)) {
    *error = L"the process id must be a decimal number without sign or leading zeros, "
             L"with nothing after it";
    return std::nullopt;
  }
  if (event == 0 || process == 0 || block == 0 || processId == 0) {
    *error = L"no field may be zero";
    return std::nullopt;
  }
  HandOff handOff;
  handOff.event = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(event));
  handOff.process = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(process));
  handOff.blockAddress = block;
  handOff.processId = processId;
  return handOff;
}

std::optional<HandOff> ParseHandOffCommandLine(const wchar_t* commandLine, std::wstring* error) {
  if (commandLine == nullptr) {
    *error = L"no command line";
    return std::nullopt;
  }
  // The program name follows the system's rule for argument 0: quoted up to the next quote,
  // otherwise up to the first blank.
  const wchar_t* p = commandLine;
  if (*p == L'"') {
    ++p;
    while (*p != L'\0' && *p != L'"') ++p;
    if (*p == L'"') ++p;
  } else {
    while (*p != L'\0' && *p != L' ' && *p != L'\t') ++p;
  }
  if (*p != L' ' && *p != L'\t') {
    *error = L"expected exactly one argument, /buginfo:EVENT:PROCESS:BLOCK:PID";
    return std::nullopt;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  return ParseHandOffArgument(std::wstring(p), error);
}

}  // namespace vessick
