#include <gtest/gtest.h>

#include <string>

#include "utf8_text.h"

namespace vessick {
namespace {

std::wstring Convert(const char* utf8, size_t capacity = 0) {
  if (capacity == 0) capacity = Utf16CapacityFor(utf8);
  std::wstring out(capacity + 4, L'#');  // '#' past the capacity: nothing may be written there
  const size_t units = Utf8ToUtf16(utf8, out.data(), capacity);
  EXPECT_EQ(out[units], L'\0');
  EXPECT_LT(units, capacity);
  for (size_t i = capacity; i < out.size(); ++i) EXPECT_EQ(out[i], L'#') << i;
  return out.substr(0, units);
}

struct Case {
  const char* name;
  const char* utf8;
  std::wstring utf16;
};

// The expectations follow the Unicode standard's "maximal subpart" practice (one U+FFFD per
// maximal ill-formed subpart), the same as Python's decoder with errors="replace".
const Case kCases[] = {
    {"ascii", "CrashHost 1.2", L"CrashHost 1.2"},
    {"two three four bytes", "\xC3\xA9\xE5\xB4\xA9\xF0\x9F\x98\x80", L"\u00E9\u5D29\U0001F600"},
    {"cut three-byte", "\xE5\xB4\xA9\xE6\xBA", L"\u5D29\uFFFD"},
    {"cut four-byte at the end", "ok\xF0\x9F\x98", L"ok\uFFFD"},
    {"lone lead byte at the end", "x\xE6", L"x\uFFFD"},
    {"cut then ascii", "\xE6\xBA" "A", L"\uFFFD" L"A"},
    {"overlong slash", "a\xC0\xAFz", L"a\uFFFD\uFFFDz"},
    {"overlong three-byte", "\xE0\x80\xAF", L"\uFFFD\uFFFD\uFFFD"},
    {"encoded surrogate", "\xED\xA0\x80!", L"\uFFFD\uFFFD\uFFFD!"},
    {"past U+10FFFF", "\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"largest code point", "\xF4\x8F\xBF\xBF", L"\U0010FFFF"},
    {"stray continuation", "\x80\xBF", L"\uFFFD\uFFFD"},
    {"bytes never used", "\xF5\xFE\xFF", L"\uFFFD\uFFFD\uFFFD"},
    {"empty", "", L""},
};

TEST(Utf8Text, ConvertsAndReplacesEachIllFormedSubpart) {
  for (const Case& c : kCases) EXPECT_EQ(Convert(c.utf8), c.utf16) << c.name;
}

TEST(Utf8Text, ShortOutputStopsBeforeACharacterAndStaysTerminated) {
  // Room for "a" and the terminator only: the pair for U+1F600 must not be split.
  EXPECT_EQ(Convert("a\xF0\x9F\x98\x80", 3), L"a");
  EXPECT_EQ(Convert("a\xF0\x9F\x98\x80", 4), L"a\U0001F600");
  EXPECT_EQ(Convert("abc", 1), L"");
  wchar_t untouched = L'#';
  EXPECT_EQ(Utf8ToUtf16("abc", &untouched, 0), 0u);
  EXPECT_EQ(untouched, L'#');
}

TEST(Utf8Text, OneUnitPerByteIsAlwaysEnough) {
  // Every byte value after every lead byte: the conversion never needs more than the capacity
  // the library allocates (Convert checks that nothing is written past it).
  for (int lead = 0x80; lead <= 0xFF; ++lead)
    for (int next = 1; next <= 0xFF; ++next) {
      const char text[] = {static_cast<char>(lead), static_cast<char>(next), '\0'};
      Convert(text);
    }
}

}  // namespace
}  // namespace vessick
