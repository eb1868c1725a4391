#include "runtime_hooks.h"

#include <windows.h>

#include <exception>
#include <new>
#include <stdlib.h>

#include "system_function.h"

namespace vessick {
namespace {

PureCallHook pureCallHook = nullptr;
NewHook newHook = nullptr;

// libstdc++'s operator new retries for as long as its handler returns; our hook answers 0 for
// "do not retry", which here means failing the allocation.
void CallNewHookForOperatorNew() {
  if (newHook == nullptr || newHook(0) == 0) throw std::bad_alloc();
}

}  // namespace

PureCallHook SetPureCallHook(PureCallHook hook) {
  pureCallHook = hook;
  // Kept for code that calls the C run-time's _purecall; mingw-w64 stores it.
  return _set_purecall_handler(hook);
}

NewHook SetNewHook(NewHook hook) {
  NewHook previous = newHook;
  newHook = hook;
  using SetNewHandlerFn = NewHook(__cdecl*)(NewHook);
  if (auto setCrtNewHandler = SystemFunction<SetNewHandlerFn>(L"msvcrt", "_set_new_handler"))
    previous = setCrtNewHandler(hook);               // msvcrt's own operator new
  std::set_new_handler(&CallNewHookForOperatorNew);  // the operator new this DLL uses
  return previous;
}

InvalidParameterHook SetInvalidParameterHook(InvalidParameterHook hook) {
  return reinterpret_cast<InvalidParameterHook>(
      _set_invalid_parameter_handler(reinterpret_cast<_invalid_parameter_handler>(hook)));
}

void SetAbortFlags(unsigned int flags, unsigned int mask) {
  using SetAbortBehaviorFn = unsigned int(__cdecl*)(unsigned int, unsigned int);
  if (auto setAbortBehavior =
          SystemFunction<SetAbortBehaviorFn>(L"msvcrt", "_set_abort_behavior"))
    setAbortBehavior(flags, mask);
}

PlainHook SetTerminateHook(PlainHook hook) { return std::set_terminate(hook); }

PlainHook SetUnexpectedHook(PlainHook hook) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return std::set_unexpected(hook);
#pragma GCC diagnostic pop
}

void RaiseInvalidParameter(const wchar_t* expression, const wchar_t* function,
                           const wchar_t* file, unsigned int line) {
  _invalid_parameter_handler handler = _get_invalid_parameter_handler();
  if (handler != nullptr) handler(expression, function, file, line, 0);
}

}  // namespace vessick

// GCC routes a call of a pure virtual function to this libsupc++ entry (not to the C
// run-time's _purecall). Defining it here replaces libsupc++'s version in this module, so that
// such a call made in Vessick's code reaches the installed pure-call hook.
extern "C" void __cxa_pure_virtual() {
  if (vessick::pureCallHook != nullptr) vessick::pureCallHook();
  std::terminate();
}
