// A small JSON writer for the report: UTF-8 output, two-space indentation, members in the
// order they are written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orlent {

class JsonWriter {
 public:
  void BeginObject();
  void EndObject();
  void BeginArray();
  void EndArray();
  // The next value belongs to this member: j.Key("code").Hex(code).
  JsonWriter& Key(std::string_view key);

  void String(std::wstring_view value);
  void String(std::string_view utf8);
  void Number(int64_t value);
  void Bool(bool value);
  void Null();
  void Hex(uint32_t value);  // "0x0040156A": addresses and codes as developers read them

  // The document so far; complete once every object and array is closed.
  const std::string& text() const { return out_; }

 private:
  void BeforeValue();
  void Open(char bracket);
  void Close(char bracket);
  void Quote(std::string_view utf8);

  std::string out_;
  std::vector<bool> hasMembers_;  // one per open object or array
  bool afterKey_ = false;
};

}  // namespace orlent
