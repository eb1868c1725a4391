// end_to_end_host FAILURE REPORTER_DIR FACTS_FILE
// A host that starts crash reporting through Vessick.dll, writes what its report must agree
// with to FACTS_FILE, and fails in the named way: access-violation, stack-overflow or abort.
// Built without optimisation (a frame pointer in every function, no inlining, no tail calls),
// so that the reporter's walk can be checked frame by frame.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vessick.h"

namespace {

FILE* facts = nullptr;

void Fact(const char* key, unsigned long value) {
  std::fprintf(facts, "%s=%lx\n", key, value);
  std::fflush(facts);
}

unsigned long Address(const void* pointer) {
  return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(pointer));
}

volatile int* volatile nullTarget = nullptr;

void __attribute__((noinline)) WriteThroughNull() { *nullTarget = 0x4F524C; }

#pragma GCC diagnostic ignored "-Winfinite-recursion"
int __attribute__((noinline)) Recurse(int depth) {
  volatile char pad[200];
  pad[0] = static_cast<char>(depth);
  return Recurse(depth + 1) + pad[0];
}

void __attribute__((noinline)) Abort() { std::abort(); }

// Every failure is called from here, so that the walk has a known caller to reach.
int __attribute__((noinline)) Fail(const char* failure) {
  if (std::strcmp(failure, "access-violation") == 0) WriteThroughNull();
  else if (std::strcmp(failure, "stack-overflow") == 0) return Recurse(0);
  else if (std::strcmp(failure, "abort") == 0) Abort();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || (facts = std::fopen(argv[3], "w")) == nullptr) {
    std::fputs("usage: end_to_end_host FAILURE REPORTER_DIR FACTS_FILE\n", stderr);
    return 2;
  }
  InitOrlent("CrashingHost", "3.1.4", "nightly", "\xE6\xB5\x8B\xE8\xAF\x95", 3, 1, 4, argv[2]);
  SetOrlentUin(271828);

  NT_TIB* tib;
  asm volatile("movl %%fs:0x18, %0" : "=r"(tib));
  Fact("thread_id", ::GetCurrentThreadId());
  Fact("stack_base", Address(tib->StackBase));
  Fact("image_base", Address(::GetModuleHandleW(nullptr)));
  Fact("WriteThroughNull", Address(reinterpret_cast<void*>(&WriteThroughNull)));
  Fact("Recurse", Address(reinterpret_cast<void*>(&Recurse)));
  Fact("Abort", Address(reinterpret_cast<void*>(&Abort)));
  Fact("Fail", Address(reinterpret_cast<void*>(&Fail)));
  Fact("main", Address(reinterpret_cast<void*>(&main)));
  std::fclose(facts);

  Fail(argv[1]);
  std::fputs("the failure came back\n", stderr);
  return 1;
}
