// Before InitOrlent the exports change nothing. Runs in a process of its own.
#include <gtest/gtest.h>

#include <windows.h>

#include <signal.h>

#include <exception>

#include "library_state.h"
#include "vessick.h"

namespace {

LONG WINAPI HostFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }
void __cdecl HostSignal(int) {}
void HostTerminate() {}

TEST(BeforeInitOrlent, ExportsInstallNothingAndBuildNoBlock) {
  ::SetUnhandledExceptionFilter(&HostFilter);
  ::SetErrorMode(SEM_FAILCRITICALERRORS);
  signal(SIGTERM, &HostSignal);
  signal(SIGSEGV, &HostSignal);
  std::set_terminate(&HostTerminate);

  SetOrlentUin(7);
  ValidateOrlent();

  EXPECT_EQ(vessick::CurrentBlock(), nullptr);
  EXPECT_STREQ(vessick::ReporterDir(), L"");
  EXPECT_EQ(::GetErrorMode(), static_cast<UINT>(SEM_FAILCRITICALERRORS));
  EXPECT_EQ(::SetUnhandledExceptionFilter(&HostFilter), &HostFilter);
  EXPECT_EQ(signal(SIGTERM, &HostSignal), &HostSignal);
  EXPECT_EQ(signal(SIGSEGV, &HostSignal), &HostSignal);
  EXPECT_EQ(std::get_terminate(), &HostTerminate);
}

}  // namespace
