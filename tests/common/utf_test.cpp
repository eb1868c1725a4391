#include <gtest/gtest.h>

#include <cstdint>

#include "text/utf.h"

namespace text {
namespace {

TEST(Utf8ToWide, ConvertsAsciiChineseAndSurrogatePairs) {
  EXPECT_EQ(Utf8ToWide("hello"), L"hello");
  EXPECT_EQ(Utf8ToWide("\xE6\xB8\xB8\xE6\x88\x8F"), L"\u6E38\u620F");  // 游戏
  const std::wstring clef = Utf8ToWide("\xF0\x9D\x84\x9E");            // U+1D11E
  ASSERT_EQ(clef.size(), 2u);
  EXPECT_EQ(clef[0], 0xD834);
  EXPECT_EQ(clef[1], 0xDD1E);
}

TEST(Utf8ToWide, EmptyNullAndInvalidText) {
  EXPECT_EQ(Utf8ToWide(""), L"");
  EXPECT_EQ(Utf8ToWide(nullptr), L"");
  // Invalid bytes are replaced, not dropped and not fatal; the valid text around them stays.
  const std::wstring mixed = Utf8ToWide("a\xFF\xC3z");
  ASSERT_GE(mixed.size(), 3u);
  EXPECT_EQ(mixed.front(), L'a');
  EXPECT_EQ(mixed.back(), L'z');
  EXPECT_NE(mixed.find(L'\xFFFD'), std::wstring::npos);
}

TEST(Utf8ToWide, BufferSizeGuardFailsInsteadOfWrapping) {
  EXPECT_EQ(WideBufferBytes(0), 2u);
  EXPECT_EQ(WideBufferBytes(10), 22u);
  EXPECT_EQ(WideBufferBytes(0x7FFFFFFE), 0xFFFFFFFEu);
  // (units + 1) * 2 would wrap to 0 in 32 bits.
  EXPECT_EQ(WideBufferBytes(0x7FFFFFFF), SIZE_MAX);
  EXPECT_EQ(WideBufferBytes(0xFFFFFFFF), SIZE_MAX);
}

TEST(WideToUtf8, KeepsPairsAndReplacesLoneSurrogates) {
  EXPECT_EQ(WideToUtf8(L"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(WideToUtf8(L"a\xD83D" L"b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(WideToUtf8(L"\xDE00\xD83D"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(WideToUtf8(L"\x7F\x80\x7FF\x800\xFFFF"),
            "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
}

}  // namespace
}  // namespace text
