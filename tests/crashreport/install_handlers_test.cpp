// The hooks as they stand after the exports ran, seen from inside the process.
#include <gtest/gtest.h>

#include <windows.h>

#include <signal.h>
#include <stdlib.h>

#include <exception>
#include <new>

#include "install_handlers.h"
#include "stack_overflow.h"
#include "handler_bodies.h"
#include "launch_reporter.h"
#include "vessick.h"

namespace vessick {
namespace {

LONG WINAPI HostFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }
void __cdecl HostSignal(int) {}

// The filter in force, read by swapping it out and back.
LPTOP_LEVEL_EXCEPTION_FILTER FilterInForce() {
  LPTOP_LEVEL_EXCEPTION_FILTER current = ::SetUnhandledExceptionFilter(&HostFilter);
  ::SetUnhandledExceptionFilter(current);
  return current;
}

using SignalAction = void(__cdecl*)(int);
SignalAction ActionFor(int signalNumber) {
  SignalAction current = signal(signalNumber, &HostSignal);
  signal(signalNumber, current);
  return current;
}

class Installed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { InitOrlent("t", "", "", "", 0, 0, 0, ""); }
};

TEST_F(Installed, EveryHookHoldsItsBody) {
  ValidateOrlent();
  EXPECT_EQ(FilterInForce(), &PrimaryFilter);
  EXPECT_EQ(ActionFor(SIGABRT), &OnSigAbrt);
  EXPECT_EQ(ActionFor(SIGINT), &OnSigInt);
  EXPECT_EQ(ActionFor(SIGTERM), &OnSigTerm);
  EXPECT_EQ(ActionFor(SIGFPE), &OnSigFpe);
  EXPECT_EQ(ActionFor(SIGILL), &OnSigIll);
  EXPECT_EQ(ActionFor(SIGSEGV), &OnSigSegv);
  EXPECT_EQ(std::get_terminate(), &OnTerminate);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  EXPECT_EQ(std::get_unexpected(), &OnUnexpected);
#pragma GCC diagnostic pop
  EXPECT_NE(std::get_new_handler(), nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(_get_invalid_parameter_handler()),
            reinterpret_cast<void*>(&OnInvalidParameter));
}

TEST_F(Installed, HostFilterGivesWayToTheExports) {
  InitOrlent("t", "", "", "", 0, 0, 0, "");
  EXPECT_EQ(::SetUnhandledExceptionFilter(&HostFilter), &PrimaryFilter);
  ValidateOrlent();
  EXPECT_EQ(FilterInForce(), &PrimaryFilter);

  ::SetUnhandledExceptionFilter(&HostFilter);
  SetOrlentUin(3);
  EXPECT_EQ(FilterInForce(), &PrimaryFilter);
}

// Runs after the library's vectored handler (registered earlier, also at the end of the list)
// and resumes the raising code: an exception the host handles.
LONG CALLBACK HandleTestException(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode != 0xE0001234) return EXCEPTION_CONTINUE_SEARCH;
  return EXCEPTION_CONTINUE_EXECUTION;
}

TEST_F(Installed, AnyExceptionPuttingBackTheFilterLeavesReassertFilter) {
  ValidateOrlent();
  ::SetUnhandledExceptionFilter(&HostFilter);
  void* handler = ::AddVectoredExceptionHandler(0, &HandleTestException);
  ::RaiseException(0xE0001234, 0, 0, nullptr);
  ::RemoveVectoredExceptionHandler(handler);
  EXPECT_EQ(FilterInForce(), &ReassertFilter);
  ValidateOrlent();
  EXPECT_EQ(FilterInForce(), &PrimaryFilter);
}

TEST_F(Installed, StackOverflowHandlerPassesOtherExceptionsOn) {
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  CONTEXT context = {};
  EXCEPTION_POINTERS pointers = {&record, &context};
  ::SetUnhandledExceptionFilter(&HostFilter);
  EXPECT_EQ(StackOverflowHandler(&pointers), EXCEPTION_CONTINUE_SEARCH);
  EXPECT_EQ(FilterInForce(), &ReassertFilter);
}

}  // namespace
}  // namespace vessick
