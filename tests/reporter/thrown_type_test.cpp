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

}  // namespace
}  // namespace orlent
