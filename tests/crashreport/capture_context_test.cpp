// The capture routine records the caller's processor flags as they were at the call, before its
// own instructions change them.
#include <gtest/gtest.h>

#include <windows.h>

#include "capture_context.h"

namespace vessick {
namespace {

constexpr DWORD kCarry = 0x001, kParity = 0x004, kZero = 0x040, kSign = 0x080, kOverflow = 0x800;
constexpr DWORD kArithmeticFlags = kCarry | kParity | kZero | kSign | kOverflow;

// Loads `flags` into EFLAGS and calls the capture with nothing in between that changes them
// (pushes, a popf and a call leave them as loaded).
EXCEPTION_POINTERS* CaptureWithFlags(DWORD flags) {
  EXCEPTION_POINTERS* pointers = nullptr;
  EXCEPTION_POINTERS** out = &pointers;
  asm volatile(
      "pushl %[out]\n\t"
      "pushl $0\n\t"
      "pushl %[flags]\n\t"
      "popfl\n\t"
      "call _CaptureCurrentContext\n\t"
      "addl $8, %%esp"
      :
      : [out] "r"(out), [flags] "r"(flags)
      : "eax", "ecx", "edx", "memory", "cc");
  return pointers;
}

TEST(CaptureCurrentContext, RecordsTheFlagsOfTheCaller) {
  const DWORD base = 0x202;  // interrupts enabled and the always-one bit, as user code runs
  for (DWORD loaded : {base | kArithmeticFlags, base, base | kCarry, base | kZero | kSign}) {
    EXCEPTION_POINTERS* pointers = CaptureWithFlags(loaded);
    ASSERT_NE(pointers, nullptr);
    EXPECT_EQ(pointers->ContextRecord->EFlags & kArithmeticFlags, loaded & kArithmeticFlags)
        << std::hex << loaded;
  }
}

}  // namespace
}  // namespace vessick
