#include "symbolize/json_document.h"

#include <cstdio>

namespace orlent::symbolize {
namespace {

constexpr int kMaxDepth = 64;

class Parser {
 public:
  explicit Parser(const std::string& text) : text_(text) {}

  std::optional<JsonValue> Document(std::string* error) {
    JsonValue value;
    if (!Value(&value, 0) || (Space(), at_ != text_.size())) {
      *error = "not JSON at byte " + std::to_string(at_);
      return std::nullopt;
    }
    return value;
  }

 private:
  void Space() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' ||
                                  text_[at_] == '\r' || text_[at_] == '\t'))
      ++at_;
  }
  bool Take(char c) {
    Space();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool Word(const char* word) {
    const std::string w(word);
    if (text_.compare(at_, w.size(), w) != 0) return false;
    at_ += w.size();
    return true;
  }
  static void Utf8(uint32_t c, std::string* out) {
    if (c < 0x80) {
      *out += static_cast<char>(c);
    } else if (c < 0x800) {
      *out += static_cast<char>(0xC0 | (c >> 6));
      *out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *out += static_cast<char>(0xE0 | (c >> 12));
      *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | (c >> 18));
      *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  bool Hex4(uint32_t* value) {
    if (at_ + 4 > text_.size()) return false;
    *value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[at_++];
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) return false;
      *value = *value * 16 + static_cast<uint32_t>(digit);
    }
    return true;
  }
  bool StringBody(std::string* out) {
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (at_ >= text_.size()) return false;
      const char e = text_[at_++];
      switch (e) {
        case '"': case '\\': case '/': *out += e; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u': {
          uint32_t c1 = 0;
          if (!Hex4(&c1)) return false;
          if (c1 >= 0xD800 && c1 < 0xDC00 && Word("\\u")) {
            uint32_t c2 = 0;
            if (!Hex4(&c2) || c2 < 0xDC00 || c2 >= 0xE000) return false;
            c1 = 0x10000 + ((c1 - 0xD800) << 10) + (c2 - 0xDC00);
          } else if (c1 >= 0xD800 && c1 < 0xE000) {
            c1 = 0xFFFD;  // a lone surrogate
          }
          Utf8(c1, out);
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool Value(JsonValue* value, int depth) {
    if (depth > kMaxDepth) return false;
    Space();
    if (at_ >= text_.size()) return false;
    const char c = text_[at_];
    if (c == '{') {
      ++at_;
      value->kind = JsonValue::Kind::kObject;
      if (Take('}')) return true;
      do {
        std::string key;
        if (!Take('"') || !StringBody(&key) || !Take(':')) return false;
        value->members.emplace_back(std::move(key), JsonValue{});
        if (!Value(&value->members.back().second, depth + 1)) return false;
      } while (Take(','));
      return Take('}');
    }
    if (c == '[') {
      ++at_;
      value->kind = JsonValue::Kind::kArray;
      if (Take(']')) return true;
      do {
        value->items.emplace_back();
        if (!Value(&value->items.back(), depth + 1)) return false;
      } while (Take(','));
      return Take(']');
    }
    if (c == '"') {
      ++at_;
      value->kind = JsonValue::Kind::kString;
      return StringBody(&value->text);
    }
    if (Word("true") || Word("false")) {
      value->kind = JsonValue::Kind::kBool;
      value->boolean = text_[at_ - 1] == 'e' && text_[at_ - 2] == 'u';
      return true;
    }
    if (Word("null")) return true;
    const size_t start = at_;
    while (at_ < text_.size() && (std::string("+-.eE0123456789").find(text_[at_]) != std::string::npos))
      ++at_;
    if (at_ == start) return false;
    value->kind = JsonValue::Kind::kNumber;
    value->text = text_.substr(start, at_ - start);
    return true;
  }

  const std::string& text_;
  size_t at_ = 0;
};

void Quote(const std::string& text, std::string* out) {
  *out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"': *out += "\\\""; break;
      case '\\': *out += "\\\\"; break;
      case '\n': *out += "\\n"; break;
      case '\r': *out += "\\r"; break;
      case '\t': *out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
          *out += escaped;
        } else {
          *out += static_cast<char>(c);
        }
    }
  }
  *out += '"';
}

void Format(const JsonValue& value, int indent, std::string* out) {
  const std::string pad(2 * (indent + 1), ' '), close(2 * indent, ' ');
  switch (value.kind) {
    case JsonValue::Kind::kNull: *out += "null"; break;
    case JsonValue::Kind::kBool: *out += value.boolean ? "true" : "false"; break;
    case JsonValue::Kind::kNumber: *out += value.text; break;
    case JsonValue::Kind::kString: Quote(value.text, out); break;
    case JsonValue::Kind::kArray:
      if (value.items.empty()) {
        *out += "[]";
        break;
      }
      *out += "[\n";
      for (size_t i = 0; i < value.items.size(); ++i) {
        *out += pad;
        Format(value.items[i], indent + 1, out);
        *out += i + 1 < value.items.size() ? ",\n" : "\n";
      }
      *out += close + "]";
      break;
    case JsonValue::Kind::kObject:
      if (value.members.empty()) {
        *out += "{}";
        break;
      }
      *out += "{\n";
      for (size_t i = 0; i < value.members.size(); ++i) {
        *out += pad;
        Quote(value.members[i].first, out);
        *out += ": ";
        Format(value.members[i].second, indent + 1, out);
        *out += i + 1 < value.members.size() ? ",\n" : "\n";
      }
      *out += close + "}";
      break;
  }
}

}  // namespace

JsonValue JsonValue::String(std::string value) {
  JsonValue v;
  v.kind = Kind::kString;
  v.text = std::move(value);
  return v;
}

JsonValue JsonValue::Number(uint64_t value) {
  JsonValue v;
  v.kind = Kind::kNumber;
  v.text = std::to_string(value);
  return v;
}

JsonValue* JsonValue::Find(const std::string& key) {
  for (auto& member : members)
    if (member.first == key) return &member.second;
  return nullptr;
}

const JsonValue* JsonValue::Find(const std::string& key) const {
  for (const auto& member : members)
    if (member.first == key) return &member.second;
  return nullptr;
}

JsonValue& JsonValue::Member(const std::string& key) {
  if (JsonValue* found = Find(key)) return *found;
  members.emplace_back(key, JsonValue{});
  return members.back().second;
}

std::optional<JsonValue> ParseJson(const std::string& text, std::string* error) {
  if (text.size() > 256u * 1024 * 1024) {
    *error = "the file is too large";
    return std::nullopt;
  }
  return Parser(text).Document(error);
}

std::string FormatJson(const JsonValue& value) {
  std::string out;
  Format(value, 0, &out);
  out += '\n';
  return out;
}

}  // namespace orlent::symbolize
