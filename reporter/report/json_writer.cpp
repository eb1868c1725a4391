#include "report/json_writer.h"

#include <cstdio>

#include "text/hex.h"
#include "text/utf.h"

namespace orlent {

void JsonWriter::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (hasMembers_.empty()) return;
  if (hasMembers_.back()) out_.push_back(',');
  hasMembers_.back() = true;
  out_.push_back('\n');
  out_.append(hasMembers_.size() * 2, ' ');
}

void JsonWriter::Open(char bracket) {
  BeforeValue();
  out_.push_back(bracket);
  hasMembers_.push_back(false);
}

void JsonWriter::Close(char bracket) {
  const bool any = hasMembers_.back();
  hasMembers_.pop_back();
  if (any) {
    out_.push_back('\n');
    out_.append(hasMembers_.size() * 2, ' ');
  }
  out_.push_back(bracket);
  if (hasMembers_.empty()) out_.push_back('\n');
}

void JsonWriter::BeginObject() { Open('{'); }
void JsonWriter::EndObject() { Close('}'); }
void JsonWriter::BeginArray() { Open('['); }
void JsonWriter::EndArray() { Close(']'); }

JsonWriter& JsonWriter::Key(std::string_view key) {
  BeforeValue();
  Quote(key);
  out_.append(": ");
  afterKey_ = true;
  return *this;
}

void JsonWriter::Quote(std::string_view utf8) {
  out_.push_back('"');
  for (char c : utf8) {
    switch (c) {
      case '"': out_.append("\\\""); break;
      case '\\': out_.append("\\\\"); break;
      case '\n': out_.append("\\n"); break;
      case '\r': out_.append("\\r"); break;
      case '\t': out_.append("\\t"); break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(c));
          out_.append(escape);
        } else {
          out_.push_back(c);
        }
    }
  }
  out_.push_back('"');
}

void JsonWriter::String(std::wstring_view value) { String(text::WideToUtf8(value)); }

void JsonWriter::String(std::string_view utf8) {
  BeforeValue();
  Quote(utf8);
}

void JsonWriter::Number(int64_t value) {
  BeforeValue();
  out_.append(std::to_string(value));
}

void JsonWriter::Bool(bool value) {
  BeforeValue();
  out_.append(value ? "true" : "false");
}

void JsonWriter::Null() {
  BeforeValue();
  out_.append("null");
}

void JsonWriter::Hex(uint32_t value) { String(std::string_view(text::Hex32(value))); }

}  // namespace orlent
