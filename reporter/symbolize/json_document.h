// A JSON document read back from a report.json, changed in place and written out again with
// its keys in their order. Numbers are kept as their text, so that nothing a tool wrote
// changes on the way through.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orlent::symbolize {

struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool boolean = false;
  std::string text;  // a string's UTF-8 value, or a number as written
  std::vector<JsonValue> items;                             // an array's
  std::vector<std::pair<std::string, JsonValue>> members;   // an object's, in order

  static JsonValue String(std::string value);
  static JsonValue Number(uint64_t value);

  // The member named `key`, or null (objects only).
  JsonValue* Find(const std::string& key);
  const JsonValue* Find(const std::string& key) const;
  // The member named `key`, added at the end when missing.
  JsonValue& Member(const std::string& key);
  bool IsString() const { return kind == Kind::kString; }
};

// Nothing when `text` is not one JSON value (with `error` saying where); depth and size are
// bounded, as for any file that came from elsewhere.
std::optional<JsonValue> ParseJson(const std::string& text, std::string* error);
std::string FormatJson(const JsonValue& value);

}  // namespace orlent::symbolize
