#include "install_handlers.h"

#include <windows.h>

#include <signal.h>

#include <iterator>

#include "handler_bodies.h"
#include "library_state.h"
#include "runtime_hooks.h"

namespace vessick {
namespace {

constexpr unsigned int kCallReportFault = 2;  // _CALL_REPORTFAULT

// What the host had in a hook when ours replaced it: given back on unload, since whatever is
// left pointing into an unloaded library kills the process at its next exception.
template <typename Hook>
struct HostHook {
  using Type = Hook;
  Hook value{};
  void Note(Hook previous, Hook ours, Hook alsoOurs = nullptr) {
    if (previous != ours && previous != alsoOurs) value = previous;
  }
};

// Puts the host's hook back where ours is still in force; a hook replaced since by someone
// else stays theirs.
template <typename Hook, typename Setter>
void GiveBack(Setter set, const HostHook<Hook>& host, typename HostHook<Hook>::Type ours,
              typename HostHook<Hook>::Type alsoOurs = nullptr) {
  const Hook now = set(host.value);
  if (now != ours && now != alsoOurs) set(now);
}

using SignalAction = void(__cdecl*)(int);
struct SignalHook {
  int number;
  SignalAction ours;
  HostHook<SignalAction> host;
};
// SIGABRT, SIGINT and SIGTERM first, then the three that InstallFaultHandlers sets.
SignalHook signalHooks[] = {
    {SIGABRT, &OnSigAbrt, {}}, {SIGINT, &OnSigInt, {}},   {SIGTERM, &OnSigTerm, {}},
    {SIGFPE, &OnSigFpe, {}},   {SIGILL, &OnSigIll, {}},   {SIGSEGV, &OnSigSegv, {}},
};
constexpr int kFirstFaultSignal = 3;

volatile bool installed = false;
HostHook<LPTOP_LEVEL_EXCEPTION_FILTER> hostFilter;
HostHook<PureCallHook> hostPureCall;
HostHook<NewHook> hostNewHandler;
HostHook<InvalidParameterHook> hostInvalidParameter;
HostHook<PlainHook> hostTerminate;
HostHook<PlainHook> hostUnexpected;

void InstallSignal(SignalHook& hook) {
  const SignalAction previous = signal(hook.number, hook.ours);
  if (previous != SIG_ERR) hook.host.Note(previous, hook.ours);
}

}  // namespace

// Nothing is chained: whatever was installed before is replaced, in this fixed order, which
// leaves PrimaryFilter in force.
void InstallHandlers() {
  if (CurrentBlock() == nullptr) return;
  installed = true;
  hostFilter.Note(::SetUnhandledExceptionFilter(&ReassertFilter), &ReassertFilter, &PrimaryFilter);
  ::SetUnhandledExceptionFilter(&PrimaryFilter);
  hostPureCall.Note(SetPureCallHook(&OnPureCall), &OnPureCall);
  hostNewHandler.Note(SetNewHook(&OnNewHandler), &OnNewHandler);
  hostInvalidParameter.Note(SetInvalidParameterHook(&OnInvalidParameter), &OnInvalidParameter);
  SetAbortFlags(kCallReportFault, kCallReportFault);
  for (int i = 0; i < kFirstFaultSignal; ++i) InstallSignal(signalHooks[i]);
  InstallFaultHandlers();
}

void InstallFaultHandlers() {
  hostTerminate.Note(SetTerminateHook(&OnTerminate), &OnTerminate);
  hostUnexpected.Note(SetUnexpectedHook(&OnUnexpected), &OnUnexpected);
  for (int i = kFirstFaultSignal; i < static_cast<int>(std::size(signalHooks)); ++i)
    InstallSignal(signalHooks[i]);
}

void ReassertUnhandledFilter() {
  if (CurrentBlock() == nullptr) return;
  hostFilter.Note(::SetUnhandledExceptionFilter(&ReassertFilter), &ReassertFilter, &PrimaryFilter);
}

void GiveBackHooks() {
  if (!installed) return;
  GiveBack(&::SetUnhandledExceptionFilter, hostFilter, &ReassertFilter, &PrimaryFilter);
  GiveBack(&SetPureCallHook, hostPureCall, &OnPureCall);
  GiveBack(&SetNewHook, hostNewHandler, &OnNewHandler);
  GiveBack(&SetInvalidParameterHook, hostInvalidParameter, &OnInvalidParameter);
  GiveBack(&SetTerminateHook, hostTerminate, &OnTerminate);
  GiveBack(&SetUnexpectedHook, hostUnexpected, &OnUnexpected);
  for (SignalHook& hook : signalHooks) {
    const SignalAction now = signal(hook.number, hook.host.value);
    if (now != hook.ours && now != SIG_ERR) signal(hook.number, now);
  }
  installed = false;
}

}  // namespace vessick
