#include "upload/ini_text.h"

#include <cctype>

namespace orlent::upload {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::optional<std::vector<IniEntry>> ParseIni(std::string_view text, std::string* error) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<IniEntry> entries;
  std::string section;
  int lineNumber = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++lineNumber;
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']' || line.size() < 3) {
        *error = "line " + std::to_string(lineNumber) + ": a section line must read [name]";
        return std::nullopt;
      }
      section = Lower(Trim(line.substr(1, line.size() - 2)));
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos || Trim(line.substr(0, equals)).empty()) {
      *error = "line " + std::to_string(lineNumber) + ": expected key = value";
      return std::nullopt;
    }
    const std::string_view key = Trim(line.substr(0, equals));
    entries.push_back({section, Lower(key), std::string(key),
                       std::string(Trim(line.substr(equals + 1))), lineNumber});
  }
  return entries;
}

std::string EscapeValue(std::string_view value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    const bool edgeBlank = (c == ' ' || c == '\t') && (i == 0 || i + 1 == value.size());
    if (c < 0x20 || c == 0x7F || c == '%' || c == '|' || edgeBlank) {
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string UnescapeValue(std::string_view value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '%' && i + 2 < value.size() && HexDigit(value[i + 1]) >= 0 &&
        HexDigit(value[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(value[i + 1]) * 16 + HexDigit(value[i + 2]));
      i += 2;
    } else {
      out += value[i];
    }
  }
  return out;
}

std::optional<bool> ParseSwitch(std::string_view value) {
  const std::string v = Lower(value);
  if (v == "yes" || v == "true" || v == "on" || v == "1") return true;
  if (v == "no" || v == "false" || v == "off" || v == "0") return false;
  return std::nullopt;
}

std::optional<long long> ParseCount(std::string_view value, long long max) {
  if (value.empty() || value.size() > 18) return std::nullopt;
  long long n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  if (n > max) return std::nullopt;
  return n;
}

}  // namespace orlent::upload
