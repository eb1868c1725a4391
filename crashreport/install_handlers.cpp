#include "install_handlers.h"

#include <windows.h>

#include <signal.h>

#include "handler_bodies.h"
#include "library_state.h"
#include "runtime_hooks.h"

namespace vessick {
namespace {

constexpr unsigned int kCallReportFault = 2;  // _CALL_REPORTFAULT

}  // namespace

// Nothing is chained: whatever was installed before is replaced, in this fixed order, which
// leaves PrimaryFilter in force.
void InstallHandlers() {
  if (CurrentBlock() == nullptr) return;
  ::SetUnhandledExceptionFilter(&ReassertFilter);
  ::SetUnhandledExceptionFilter(&PrimaryFilter);
  SetPureCallHook(&OnPureCall);
  SetNewHook(&OnNewHandler);
  SetInvalidParameterHook(&OnInvalidParameter);
  SetAbortFlags(kCallReportFault, kCallReportFault);
  signal(SIGABRT, &OnSigAbrt);
  signal(SIGINT, &OnSigInt);
  signal(SIGTERM, &OnSigTerm);
  InstallFaultHandlers();
}

void InstallFaultHandlers() {
  SetTerminateHook(&OnTerminate);
  SetUnexpectedHook(&OnUnexpected);
  signal(SIGFPE, &OnSigFpe);
  signal(SIGILL, &OnSigIll);
  signal(SIGSEGV, &OnSigSegv);
}

void ReassertUnhandledFilter() {
  if (CurrentBlock() == nullptr) return;
  ::SetUnhandledExceptionFilter(&ReassertFilter);
}

}  // namespace vessick
