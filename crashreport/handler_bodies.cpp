// Where a fault enters the library: a map of the crash path.
//
//   entry (installed by)                          catches                          pair from
//   StackOverflowHandler (vectored, once, Init)   every exception first: puts      the system
//                                                 ReassertFilter back; takes a
//                                                 stack overflow onto a fresh stack
//   PrimaryFilter / ReassertFilter (top-level     any unhandled exception, any     the system
//     filter, InstallHandlers)                    thread
//   OnSigSegv, OnSigFpe (signal)                  faults the C run-time routes     the run-time's
//                                                 to a signal                      record, else
//                                                                                  captured here
//   OnSigIll, OnSigAbrt, OnSigInt, OnSigTerm      abort(), raise(), Ctrl+C         captured here
//   OnTerminate, OnUnexpected (std::set_...)      uncaught C++ exception,          captured here
//                                                 violated throw() list
//   OnPureCall, OnInvalidParameter,               pure virtual call, invalid       captured here
//   OnNewHandler (run-time hooks)                 parameter, failed allocation
//
// Every body ends in LaunchReporter (launch_reporter.cpp): the first entry of the process claims
// the report with one interlocked exchange, fills in the block made at InitOrlent, hands it to
// the reporter and ends the process; any later entry returns (same thread) or parks (other threads).
//
// Signals: the C run-time resets a signal's action to the default before calling its handler, so
// each signal body re-arms itself as its very first step; two threads that abort() together get
// one report.
//
// Locks and memory: no entry takes a lock or allocates. Captured pairs come from eight slots
// set aside at load (only a ninth capture would fall back to HeapAlloc); the block, the
// reporter's folder and its full path (found at InitOrlent) sit in static storage written only
// by InitOrlent. The report goes first to the standby reporter (standby_reporter.h): orlent.exe,
// started at InitOrlent with every handle it needs, waits for an event. The crash path writes
// the block's address into a static mailbox, sets the event and waits: no heap, no lock, no
// process creation, so a damaged heap or a heap lock held by another thread cannot stop it.
// Only without a usable standby (none started, ended, an orlent.exe that does not know the
// standby, no answer within standbyReadyLimitMs) does it start a reporter itself, the old way:
// the command line is formatted into a stack buffer, and CreateProcessW (and SearchPathW, when
// the reporter was not found at InitOrlent) use the process heap and its lock. For a host that
// has run out of memory, that path first releases the address space reserved at InitOrlent
// (emergency_reserve.h) so that the heap can grow.
//
// Bounds (crash_path_limits.h): the launcher waits for the reporter at most reportTimeLimitMs
// (120 s, 60 s past the reporter's own watchdog); a parked thread waits as long and then ends
// the process with the crash exit code itself, which also frees a reporting thread stuck on a
// lock that a faulted thread holds. No wait in the library is unbounded, and it starts no
// thread.
//
// Every capturing body keeps a standard frame and makes a real call (no tail call) to the
// launcher, so that the captured Ebp and Esp describe a frame that still exists while the
// reporter reads the process. The build flags for this library ensure both.
#include "handler_bodies.h"

#include <signal.h>

#include "capture_context.h"
#include "launch_reporter.h"

namespace vessick {
namespace {

#define VESSICK_BODY __attribute__((noinline))

// Expands inside each body, so that the pair describes the body's own frame and its Eip points
// just after this call, inside the body that was entered.
#define CAPTURE_HERE(pointers)               \
  EXCEPTION_POINTERS* pointers = nullptr;    \
  CaptureCurrentContext(0, &pointers)


// The C run-time puts a signal's action back to the default before it calls the handler: a
// second abort() on another thread, meanwhile, would end the process with exit code 3 under the
// reporter. Each signal body therefore puts itself back first of all. (Wine's msvcrt signal()
// only stores the pointer: no lock, no heap.)
#define REARM(number, body) signal(number, &body)

// The pair the C run-time recorded for the signal being handled, or null when the signal was
// raised by code.
EXCEPTION_POINTERS* RecordedPointers() {
  void** slot = __pxcptinfoptrs();
  return slot != nullptr ? static_cast<EXCEPTION_POINTERS*>(*slot) : nullptr;
}

}  // namespace

VESSICK_BODY LONG WINAPI PrimaryFilter(EXCEPTION_POINTERS* pointers) {
  return LaunchReporter(pointers, 0);
}

VESSICK_BODY LONG WINAPI ReassertFilter(EXCEPTION_POINTERS* pointers) {
  return LaunchReporter(pointers, 0);
}

VESSICK_BODY void __cdecl OnSigSegv(int) {
  REARM(SIGSEGV, OnSigSegv);
  EXCEPTION_POINTERS* pointers = RecordedPointers();
  if (pointers == nullptr) CaptureCurrentContext(0, &pointers);
  LaunchReporter(pointers, 0);
}

VESSICK_BODY void __cdecl OnSigFpe(int) {
  REARM(SIGFPE, OnSigFpe);
  EXCEPTION_POINTERS* pointers = RecordedPointers();
  if (pointers == nullptr) CaptureCurrentContext(0, &pointers);
  LaunchReporter(pointers, 0);
}

VESSICK_BODY void __cdecl OnSigIll(int) {
  REARM(SIGILL, OnSigIll);
  CAPTURE_HERE(pointers);
  LaunchReporter(pointers, 0);
}

VESSICK_BODY void __cdecl OnSigAbrt(int) {
  REARM(SIGABRT, OnSigAbrt);
  CAPTURE_HERE(pointers);
  LaunchReporter(pointers, 0);
}

VESSICK_BODY void __cdecl OnSigInt(int) {
  REARM(SIGINT, OnSigInt);
  CAPTURE_HERE(pointers);
  LaunchReporter(pointers, 0);
}

VESSICK_BODY void __cdecl OnSigTerm(int) {
  REARM(SIGTERM, OnSigTerm);
  CAPTURE_HERE(pointers);
  LaunchReporter(pointers, 0);
}

VESSICK_BODY void OnTerminate() {
  CAPTURE_HERE(pointers);
  LaunchReporter(pointers, 0);
}

VESSICK_BODY void OnUnexpected() {
  CAPTURE_HERE(pointers);
  LaunchReporter(pointers, 0);
}

VESSICK_BODY void __cdecl OnPureCall() {
  CAPTURE_HERE(pointers);
  LaunchReporter(pointers, 0);
}

VESSICK_BODY void __cdecl OnInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*,
                                             unsigned int, uintptr_t) {
  CAPTURE_HERE(pointers);
  LaunchReporter(pointers, 0);
}

VESSICK_BODY int __cdecl OnNewHandler(size_t) {
  CAPTURE_HERE(pointers);
  return LaunchReporter(pointers, 0);
}

}  // namespace vessick
