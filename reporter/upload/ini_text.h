// The small INI dialect of orlent.ini and of the outbox's state files: "[section]" lines,
// "key = value" lines, ";" or "#" comment lines. Keys keep their order and may repeat.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orlent::upload {

struct IniEntry {
  std::string section;  // lower-case
  std::string key;      // lower-case
  std::string keyAsWritten;
  std::string value;    // surrounding blanks removed
  int line = 0;
};

// The entries of `text` (UTF-8; a leading byte-order mark is skipped). A line that is neither
// blank, a comment, a section nor "key = value" makes the whole text invalid: the reason,
// with its line number, goes to *error.
std::optional<std::vector<IniEntry>> ParseIni(std::string_view text, std::string* error);

// Values the outbox writes may hold anything a crashed host put in its texts. Escape keeps
// them on one line and keeps their blanks: '%', control characters, '|' and blanks at either
// end become %XX. Unescape reverses it (and leaves a malformed %XX as it is).
std::string EscapeValue(std::string_view value);
std::string UnescapeValue(std::string_view value);

// "yes/true/on/1" and "no/false/off/0", any case.
std::optional<bool> ParseSwitch(std::string_view value);
// A decimal number from 0 to `max`.
std::optional<long long> ParseCount(std::string_view value, long long max);

}  // namespace orlent::upload
