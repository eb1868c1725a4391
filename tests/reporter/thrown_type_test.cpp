#include <gtest/gtest.h>

#include <string>

#include "process/thrown_type.h"

namespace orlent {
namespace {

// Type names come from the crashed process: only sound ones are shown.
TEST(ThrownType, MangledTypeNamesAreShownReadablyOrNotAtAll) {
  struct Case {
    const char* mangled;
    const wchar_t* shown;
  } cases[] = {
      {"St13runtime_error", L"std::runtime_error"},
      {"St9bad_alloc", L"std::bad_alloc"},
      {"N4game10LoadFailedE", L"game::LoadFailed"},
      {"*Z4mainE5Local", L"main::Local"},
      {"i", L"int"},
      {"PKc", L"char const*"},
      {"", L""},
      {"*", L""},
      {"St13runtime_err", L""},
      {"not a type", L""},
  };
  for (const Case& c : cases) EXPECT_EQ(DemangleTypeName(c.mangled), c.shown) << c.mangled;
}

// A message is untrusted bytes: it is shown as far as the bound, whole characters only, each
// sequence that is not UTF-8 as one U+FFFD per maximal bad part.
TEST(ThrownType, MessagesAreBoundedUtf8) {
  const std::string atBound(kMaxWhatBytes - 1, 'x');
  struct Case {
    std::string bytes;
    std::wstring shown;
  } cases[] = {
      {"", L""},
      {"level missing: forest", L"level missing: forest"},
      {"for\xC3\xAAt \xE6\xA3\xAE", L"for\u00EAt \u68EE"},
      {"\xF0\x9F\x8C\xB2", L"\U0001F332"},   // outside the BMP: a surrogate pair
      {"a\xFF" "b", L"a\uFFFDb"},                 // never a UTF-8 byte
      {"a\xC3", L"a\uFFFD"},                   // cut short at the end
      {"a\xE6\xA3" "b", L"a\uFFFDb"},             // cut short before an ASCII byte
      {"\xC0\xAF", L"\uFFFD\uFFFD"},           // overlong '/'
      {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"}, // a surrogate spelled in UTF-8
      {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
      {"\x80", L"\uFFFD"},                     // a lone continuation byte
      {std::string(kMaxWhatBytes, 'x'), std::wstring(kMaxWhatBytes, L'x')},
      {std::string(kMaxWhatBytes + 1, 'x'), std::wstring(kMaxWhatBytes, L'x')},
      // A two-byte character across the bound is left out, not broken.
      {atBound + "\xC3\xA9yyy", std::wstring(kMaxWhatBytes - 1, L'x')},
      {atBound + "y\xC3\xA9", std::wstring(kMaxWhatBytes - 1, L'x') + L"y"},
  };
  for (const Case& c : cases) EXPECT_EQ(MessageText(c.bytes), c.shown) << c.bytes.substr(0, 40);
}

}  // namespace
}  // namespace orlent
