// A JSON string literal for a UTF-16 text, for test programs that print their outcome as one
// JSON line: everything outside printable ASCII is escaped, so the line survives any code page.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

inline std::string JsonString(std::wstring_view text) {
  std::string out = "\"";
  for (const wchar_t wide : text) {
    const unsigned c = static_cast<unsigned>(wide);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    }
  }
  return out + "\"";
}
