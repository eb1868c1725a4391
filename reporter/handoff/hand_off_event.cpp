#include "handoff/hand_off_event.h"

#include "handoff/console_output.h"

namespace orlent {
namespace {

// The one event the watchdog and the fault filter may set; written before either is armed.
HANDLE armedEvent = nullptr;
volatile LONG* armedFlag = nullptr;
int faultCode = 0;
int timeoutCode = 0;
DWORD timeoutMilliseconds = 0;

void SetArmedEventOnce() {
  if (armedEvent != nullptr && ::InterlockedExchange(armedFlag, 1) == 0) ::SetEvent(armedEvent);
}

LONG WINAPI OnReporterFault(EXCEPTION_POINTERS*) {
  SetArmedEventOnce();
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(faultCode));
  return EXCEPTION_EXECUTE_HANDLER;
}

DWORD WINAPI Watchdog(void* done) {
  if (::WaitForSingleObject(done, timeoutMilliseconds) == WAIT_OBJECT_0) return 0;
  SetArmedEventOnce();
  PrintError(L"gave up after " + std::to_wstring(timeoutMilliseconds / 1000) +
             L" s; the crashed process was released");
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(timeoutCode));
  return 0;
}

}  // namespace

bool IsOpenHandle(HANDLE handle) {
  DWORD flags = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
         ::GetHandleInformation(handle, &flags) != FALSE;
}

HandOffEvent::HandOffEvent(HANDLE event) {
  // ResetEvent succeeds only on an event, and the host's event is not set before we set it:
  // any other kind of handle is refused before anything is done.
  if (IsOpenHandle(event) && ::ResetEvent(event)) {
    event_.reset(event);
    valid_ = true;
  }
}

HandOffEvent::~HandOffEvent() {
  Set();
  if (done_) {
    ::SetEvent(done_.get());
    ::WaitForSingleObject(watchdog_.get(), INFINITE);
  }
}

bool HandOffEvent::Set() {
  if (!valid_ || ::InterlockedExchange(&set_, 1) != 0) return true;
  return ::SetEvent(event_.get()) != FALSE;
}

void HandOffEvent::ArmWatchdog(DWORD timeoutMs, int watchdogExitCode, int faultExitCode) {
  if (!valid_ || armedEvent != nullptr) return;
  armedEvent = event_.get();
  armedFlag = &set_;
  faultCode = faultExitCode;
  timeoutCode = watchdogExitCode;
  timeoutMilliseconds = timeoutMs;
  ::SetUnhandledExceptionFilter(&OnReporterFault);
  done_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (done_) watchdog_.reset(::CreateThread(nullptr, 64 * 1024, &Watchdog, done_.get(), 0, nullptr));
}

}  // namespace orlent
