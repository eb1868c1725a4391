// Before InitOrlent the exports change nothing. Runs in a process of its own.
#include <gtest/gtest.h>

#include <windows.h>

#include "library_state.h"
#include "vessick.h"

namespace {

LONG WINAPI HostFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

TEST(BeforeInitOrlent, ExportsInstallNothingAndBuildNoBlock) {
  ::SetUnhandledExceptionFilter(&HostFilter);
  ::SetErrorMode(SEM_FAILCRITICALERRORS);

  SetOrlentUin(7);
  ValidateOrlent();

  EXPECT_EQ(vessick::CurrentBlock(), nullptr);
  EXPECT_EQ(vessick::ReporterDir(), L"");
  EXPECT_EQ(::GetErrorMode(), static_cast<UINT>(SEM_FAILCRITICALERRORS));
  // The host's filter is still the one in force.
  EXPECT_EQ(::SetUnhandledExceptionFilter(&HostFilter), &HostFilter);
}

}  // namespace
