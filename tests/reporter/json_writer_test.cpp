#include <gtest/gtest.h>

#include "report/json_writer.h"

namespace orlent {
namespace {

TEST(JsonWriter, NestsAndIndentsMembersInOrder) {
  JsonWriter j;
  j.BeginObject();
  j.Key("code");
  j.Hex(0xC0000005);
  j.Key("frames");
  j.BeginArray();
  j.Number(-1);
  j.Bool(true);
  j.Null();
  j.EndArray();
  j.Key("empty");
  j.BeginObject();
  j.EndObject();
  j.EndObject();
  EXPECT_EQ(j.text(),
            "{\n  \"code\": \"0xC0000005\",\n  \"frames\": [\n    -1,\n    true,\n    null\n  ],\n"
            "  \"empty\": {}\n}\n");
}

TEST(JsonWriter, EscapesWhatTheCrashedProcessWrote) {
  JsonWriter j;
  j.BeginArray();
  j.String(std::wstring(L"a\"b\\c\r\n\t\x01\x1F"));
  j.String(std::wstring(L"\x5D29\x6E83"));
  j.EndArray();
  EXPECT_EQ(j.text(), "[\n  \"a\\\"b\\\\c\\r\\n\\t\\u0001\\u001f\",\n  \"\xE5\xB4\xA9\xE6\xBA\x83\"\n]\n");
}

}  // namespace
}  // namespace orlent
