// crash_host FAILURE REPORTER_DIR FACTS_FILE
// A host that starts crash reporting and then fails in the named way. Before failing it writes
// what the parent needs to check the report (thread ids, stack bounds, addresses) to FACTS_FILE.
// Built twice: against Vessick.dll, and with the library's code linked in (CRASH_HOST_LINKED),
// where failures of the library's own run-time instance can be made to happen.
#include <windows.h>

#include <signal.h>
#include <stdlib.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "vessick.h"
#include "win/unique_handle.h"
#ifdef CRASH_HOST_LINKED
#include "capture_context.h"
#include "crash_path_limits.h"
#include "handler_bodies.h"
#include "launch_reporter.h"
#include "runtime_hooks.h"
#endif

namespace {

FILE* facts = nullptr;

void Fact(const char* key, unsigned long value) {
  std::fprintf(facts, "%s=%lx\n", key, value);
  std::fflush(facts);
}

template <typename T>
unsigned long Address(T* pointer) {
  return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(pointer));
}

NT_TIB* CurrentTib() {
  NT_TIB* self;
  asm volatile("movl %%fs:0x18, %0" : "=r"(self));
  return self;
}

void RecordThread(const char* prefix) {
  NT_TIB* tib = CurrentTib();
  std::string key = prefix;
  Fact((key + "_thread_id").c_str(), ::GetCurrentThreadId());
  Fact((key + "_teb").c_str(), Address(tib->Self));
  Fact((key + "_stack_base").c_str(), Address(tib->StackBase));
}

volatile int* volatile nullTarget = nullptr;
volatile int zero = 0;
volatile int dividend = 100;

void AccessViolation() { *nullTarget = 1; }

#pragma GCC diagnostic ignored "-Winfinite-recursion"
int __attribute__((noinline)) Recurse(int depth) {
  volatile char pad[256];
  pad[0] = static_cast<char>(depth);
  return Recurse(depth + 1) + pad[0];
}

// Leaves no free 64 KiB region in the address space: every free granule is reserved.
void ExhaustAddressSpace() {
  unsigned long reserved = 0;
  for (SIZE_T size = 0x10000000; size >= 0x10000; size /= 2)
    while (::VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS) != nullptr) ++reserved;
  Fact("reservations", reserved);
  void* probe = ::VirtualAlloc(nullptr, 0x10000, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  Fact("fresh_region_available", probe != nullptr);
  if (probe != nullptr) ::VirtualFree(probe, 0, MEM_RELEASE);
}

// Uses up the address space, then both heaps (the process heap and the C run-time's) down to
// blocks of 16 bytes: what a host that ran out of memory looks like when it faults.
void ExhaustMemory() {
  ExhaustAddressSpace();
  unsigned long blocks = 0;
  for (SIZE_T size = 0x100000; size >= 16; size /= 2) {
    while (::HeapAlloc(::GetProcessHeap(), 0, size) != nullptr) ++blocks;
    while (std::malloc(size) != nullptr) ++blocks;
  }
  Fact("heap_blocks", blocks);
}

DWORD WINAPI ThreadMain(LPVOID failure) {
  RecordThread("fault");
  reinterpret_cast<void (*)()>(failure)();
  return 0;
}

void OnWorkerThread(void (*failure)()) {
  HANDLE thread = ::CreateThread(nullptr, 0, &ThreadMain, reinterpret_cast<void*>(failure), 0,
                                 nullptr);
  ::WaitForSingleObject(thread, 30000);
  std::fputs("worker thread came back\n", stderr);
  ::ExitProcess(1);
}

// Two threads released together, both faulting at the same moment.
HANDLE startBoth = nullptr;
DWORD WINAPI RacingThread(LPVOID) {
  ::WaitForSingleObject(startBoth, INFINITE);
  AccessViolation();
  return 0;
}

// Heap damage, the commonest way a C++ game dies. Each writes where a buggy program would and
// then faults, so that the crash path runs on a heap that can no longer be trusted.
HANDLE ProcessHeap() { return ::GetProcessHeap(); }

// Writes past the end of a block, over the header of the block after it.
void HeapOverrun() {
  auto* block = static_cast<unsigned char*>(::HeapAlloc(ProcessHeap(), 0, 64));
  auto* after = static_cast<unsigned char*>(::HeapAlloc(ProcessHeap(), 0, 64));
  std::memset(block, 0xCC, 64 + 64);
  Fact("overran", after != nullptr);
  AccessViolation();
}

// Writes into a block after freeing it, over the free list's links kept in it.
void UseAfterFree() {
  auto* block = static_cast<unsigned char*>(::HeapAlloc(ProcessHeap(), 0, 512));
  auto* keepApart = ::HeapAlloc(ProcessHeap(), 0, 64);  // so that the freed block stays alone
  ::HeapFree(ProcessHeap(), 0, block);
  std::memset(block, 0xCC, 512);
  Fact("kept_apart", keepApart != nullptr);
  AccessViolation();
}

// Damages a free block's links, then allocates: the heap follows them and faults inside
// HeapAlloc, with the heap's lock held by the faulting thread.
void FaultInsideHeapAlloc() {
  constexpr SIZE_T kSize = 20000;  // past the small-block bins, on the free lists
  void* before = ::HeapAlloc(ProcessHeap(), 0, 64);
  auto* block = static_cast<uint32_t*>(::HeapAlloc(ProcessHeap(), 0, kSize));
  void* after = ::HeapAlloc(ProcessHeap(), 0, 64);
  ::HeapFree(ProcessHeap(), 0, block);
  for (int i = 0; i < 8; ++i) block[i] = 0x41414141;
  Fact("damaged", before != nullptr && after != nullptr);
  void* again = ::HeapAlloc(ProcessHeap(), 0, kSize);
  Fact("heap_alloc_came_back", 1);
  std::printf("%p\n", again);
  AccessViolation();
}

// Another thread takes the process heap's lock and keeps it: idle, or faulting itself a moment
// after the main thread's fault.
HANDLE heapLockTaken = nullptr;
DWORD WINAPI HoldHeapLock(LPVOID faultToo) {
  ::HeapLock(ProcessHeap());
  ::SetEvent(heapLockTaken);
  if (faultToo == nullptr) ::Sleep(INFINITE);
  ::Sleep(50);
  AccessViolation();
  return 0;
}

void FaultWhileHeapLocked(bool holderFaultsToo) {
  heapLockTaken = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // Recorded before the lock is taken: writing a fact may itself need the heap.
  Fact("holder_faults", holderFaultsToo);
  ::CreateThread(nullptr, 0, &HoldHeapLock, holderFaultsToo ? &heapLockTaken : nullptr, 0,
                 nullptr);
  ::WaitForSingleObject(heapLockTaken, 10000);
  AccessViolation();
}

// Ends the standby reporter InitOrlent started (the orlent.exe child of this process).
void EndStandby() {
  const win::UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  unsigned long ended = 0;
  for (BOOL more = snapshot && ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ParentProcessID != ::GetCurrentProcessId() ||
        _wcsicmp(entry.szExeFile, L"orlent.exe") != 0)
      continue;
    const win::UniqueKernelHandle standby(
        ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID));
    ended += ::TerminateProcess(standby.get(), 9) &&
             ::WaitForSingleObject(standby.get(), 10000) == WAIT_OBJECT_0;
  }
  Fact("standbys_ended", ended);
}

// Two threads call abort(): released together, or the second `gapMs` after the first.
HANDLE abortNow = nullptr;
DWORD WINAPI AbortWhenReleased(LPVOID delayMs) {
  ::WaitForSingleObject(abortNow, INFINITE);
  ::Sleep(static_cast<DWORD>(reinterpret_cast<uintptr_t>(delayMs)));
  abort();
  return 0;
}

void TwoAborts(DWORD gapMs) {
  abortNow = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE threads[] = {
      ::CreateThread(nullptr, 0, &AbortWhenReleased, nullptr, 0, nullptr),
      ::CreateThread(nullptr, 0, &AbortWhenReleased,
                     reinterpret_cast<void*>(static_cast<uintptr_t>(gapMs)), 0, nullptr)};
  ::Sleep(100);
  ::SetEvent(abortNow);
  ::WaitForMultipleObjects(2, threads, TRUE, 30000);
  std::fputs("aborting threads came back\n", stderr);
  ::ExitProcess(1);
}

#ifdef CRASH_HOST_LINKED
HANDLE heapLocked = nullptr;
DWORD WINAPI LockHeapAndFault(LPVOID) {
  RecordThread("parked");
  ::HeapLock(::GetProcessHeap());
  ::SetEvent(heapLocked);
  AccessViolation();
  return 0;
}

void RecordBodies() {
  Fact("capture", Address(reinterpret_cast<void*>(&vessick::CaptureCurrentContext)));
  Fact("OnPureCall", Address(reinterpret_cast<void*>(&vessick::OnPureCall)));
  Fact("OnNewHandler", Address(reinterpret_cast<void*>(&vessick::OnNewHandler)));
  Fact("OnInvalidParameter", Address(reinterpret_cast<void*>(&vessick::OnInvalidParameter)));
  Fact("OnTerminate", Address(reinterpret_cast<void*>(&vessick::OnTerminate)));
  Fact("OnUnexpected", Address(reinterpret_cast<void*>(&vessick::OnUnexpected)));
  Fact("OnSigAbrt", Address(reinterpret_cast<void*>(&vessick::OnSigAbrt)));
  Fact("OnSigInt", Address(reinterpret_cast<void*>(&vessick::OnSigInt)));
  Fact("OnSigTerm", Address(reinterpret_cast<void*>(&vessick::OnSigTerm)));
  Fact("OnSigIll", Address(reinterpret_cast<void*>(&vessick::OnSigIll)));
  Fact("OnSigSegv", Address(reinterpret_cast<void*>(&vessick::OnSigSegv)));
  Fact("OnSigFpe", Address(reinterpret_cast<void*>(&vessick::OnSigFpe)));
}
#endif

// The C run-time's own route from a hardware exception to a signal, which mingw's start-up
// code does not set up: hand the exception to msvcrt's filter, as an MSVC-built caller would.
extern "C" int __cdecl _XcptFilter(unsigned long code, EXCEPTION_POINTERS* pointers);
LONG CALLBACK ThroughRuntimeFilter(EXCEPTION_POINTERS* pointers) {
  Fact("runtime_filter_entered", 1);
  _XcptFilter(pointers->ExceptionRecord->ExceptionCode, pointers);
  Fact("runtime_filter_returned", 1);
  return EXCEPTION_CONTINUE_SEARCH;
}


}  // namespace

void ThrowOutsideSpecification();

#ifdef CRASH_HOST_LINKED
// Outside the anonymous namespace, so that the compiler cannot see every class that derives
// from Base and resolve the virtual call at compile time.
struct Base;
void __attribute__((noinline)) CallPureOf(Base* base);
struct Base {
  Base() { CallPureOf(this); }  // while Base is being built, Pure has no body yet
  virtual ~Base() = default;
  virtual void Pure() = 0;
};
void CallPureOf(Base* base) {
  asm volatile("" : "+r"(base));  // keep the compiler from resolving the call itself
  base->Pure();
}
struct Derived : Base {
  void Pure() override {}
};

#endif

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: crash_host FAILURE REPORTER_DIR FACTS_FILE\n", stderr);
    return 2;
  }
  const std::string failure = argv[1];
  facts = std::fopen(argv[3], "w");
  if (facts == nullptr) return 2;

#ifdef CRASH_HOST_LINKED
  // For measuring how much the crash path needs once memory has run out.
  if (const char* kib = std::getenv("TEST_RESERVE_KIB"))
    vessick::emergencyReserveBytes = static_cast<SIZE_T>(std::strtoul(kib, nullptr, 10)) << 10;
#endif
  InitOrlent("CrashHost", "1.2.3", "test", "\xE5\xB4\xA9\xE6\xBA\x83", 7, 8, 9, argv[2]);
  SetOrlentUin(4242);
  RecordThread("main");
#ifdef CRASH_HOST_LINKED
  RecordBodies();
#endif
  Fact("ready", 1);

  if (failure == "access-violation") AccessViolation();
  else if (failure == "access-violation-thread") OnWorkerThread(&AccessViolation);
  else if (failure == "divide-by-zero") std::printf("%d\n", dividend / zero);
  else if (failure == "stack-overflow") Recurse(0);
  else if (failure == "stack-overflow-no-memory") {
    ExhaustAddressSpace();
    Recurse(0);
  } else if (failure == "stack-overflow-thread") OnWorkerThread([] { Recurse(0); });
  else if (failure == "out-of-memory") {
    ExhaustMemory();
    AccessViolation();
  } else if (failure == "reinit-out-of-memory") {
    // The second call cannot get its block: the first one's texts and folder must stay.
    ExhaustMemory();
    InitOrlent("Replaced", "9", "gone", "", 1, 1, 1, "C:\\no\\reporter\\here");
    AccessViolation();
  } else if (failure == "abort") abort();
  else if (failure == "standby-ended-then-fault") {
    EndStandby();
    AccessViolation();
  } else if (failure == "heap-overrun") HeapOverrun();
  else if (failure == "use-after-free") UseAfterFree();
  else if (failure == "fault-inside-heap-alloc") FaultInsideHeapAlloc();
  else if (failure == "heap-locked-idle") FaultWhileHeapLocked(false);
  else if (failure == "heap-locked-holder-faults") FaultWhileHeapLocked(true);
  else if (failure == "two-aborts-at-once") TwoAborts(0);
  else if (failure == "two-aborts-30ms-apart") TwoAborts(30);
  else if (failure == "cut-utf8-texts") {
    // Cut inside a character, an overlong form, a lone surrogate, a lead byte at the very end.
    InitOrlent("\xE5\xB4\xA9\xE6\xBA", "a\xC0\xAFz", "\xED\xA0\x80!", "ok\xF0\x9F\x98", 7, 8, 9,
               argv[2]);
    SetOrlentUin(4242);
    AccessViolation();
  } else if (failure == "raise-sigterm") raise(SIGTERM);
  else if (failure == "raise-sigint") raise(SIGINT);
  else if (failure == "raise-sigill") raise(SIGILL);
  else if (failure == "raise-sigsegv") raise(SIGSEGV);
  else if (failure == "raise-sigfpe") raise(SIGFPE);
  else if (failure == "runtime-sigsegv" || failure == "runtime-sigfpe") {
    ::AddVectoredExceptionHandler(1, &ThroughRuntimeFilter);
    if (failure == "runtime-sigsegv") AccessViolation();
    else ::RaiseException(EXCEPTION_FLT_DIVIDE_BY_ZERO, 0, 0, nullptr);
  } else if (failure == "two-threads") {
    startBoth = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE threads[] = {::CreateThread(nullptr, 0, &RacingThread, nullptr, 0, nullptr),
                        ::CreateThread(nullptr, 0, &RacingThread, nullptr, 0, nullptr)};
    ::Sleep(100);
    ::SetEvent(startBoth);
    ::WaitForMultipleObjects(2, threads, TRUE, 30000);
    std::fputs("racing threads came back\n", stderr);
    return 1;
  }
#ifdef CRASH_HOST_LINKED
  else if (failure == "pure-virtual") Derived derived;
  else if (failure == "invalid-parameter") vessick::RaiseInvalidParameter(L"x", L"f", L"f.c", 1);
  else if (failure == "alloc-failure") {
    void* volatile block = ::operator new(static_cast<size_t>(-1) / 2);
    std::printf("%p\n", block);
  } else if (failure == "uncaught-exception") throw std::runtime_error("nobody catches this");
  else if (failure == "unexpected") ThrowOutsideSpecification();
  else if (failure == "reporter-never-finishes") {
    vessick::reportTimeLimitMs = 2000;
    AccessViolation();
  } else if (failure == "heap-locked-by-parked-thread") {
    // Just before the reporter is started, another thread takes the process heap's lock and
    // faults; it parks (the report is under way) still holding the lock that starting the
    // reporter needs. Only the parked thread's time limit can end the process.
    vessick::reportTimeLimitMs = 3000;
    vessick::pfnBeforeLaunch = [] {
      heapLocked = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
      ::CreateThread(nullptr, 0, &LockHeapAndFault, nullptr, 0, nullptr);
      ::WaitForSingleObject(heapLocked, 10000);
      ::Sleep(200);  // long enough for the fault to reach the library and park
      Fact("launching", 1);
    };
    AccessViolation();
  } else if (failure == "launch-hooks") {
    vessick::pfnBeforeLaunch = [] { Fact("before_launch", 1); };
    vessick::pfnAfterWait = [] { Fact("after_wait", 1); };
    AccessViolation();
  }
#endif
  else {
    std::fprintf(stderr, "unknown failure %s\n", failure.c_str());
    return 2;
  }
  std::fputs("the failure came back\n", stderr);
  return 1;
}
