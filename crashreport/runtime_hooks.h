// How each run-time failure hook is set with this toolchain. Vessick is built with GCC and
// mingw-w64: its C run-time is the system's msvcrt.dll and its C++ run-time (libstdc++ and
// libsupc++) is linked into the DLL, so each hook is set where this combination actually
// raises the failure. The table in the README lists the choices.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vessick {

using PureCallHook = void(__cdecl*)();
using NewHook = int(__cdecl*)(size_t);
using InvalidParameterHook = void(__cdecl*)(const wchar_t*, const wchar_t*, const wchar_t*,
                                            unsigned int, uintptr_t);
using PlainHook = void (*)();

// Each setter returns the hook it replaced (in the process-wide run-time, where there is one), so
// that unloading can give it back.
PureCallHook SetPureCallHook(PureCallHook hook);
NewHook SetNewHook(NewHook hook);
InvalidParameterHook SetInvalidParameterHook(InvalidParameterHook hook);
// new flags = (flags & mask) | (old flags & ~mask), where the C run-time has abort flags.
void SetAbortFlags(unsigned int flags, unsigned int mask);
PlainHook SetTerminateHook(PlainHook hook);
PlainHook SetUnexpectedHook(PlainHook hook);

// The C run-time's own failure entry for an invalid parameter, which msvcrt.dll never calls:
// calls the installed handler the way a checking run-time function would.
void RaiseInvalidParameter(const wchar_t* expression, const wchar_t* function,
                           const wchar_t* file, unsigned int line);

}  // namespace vessick
