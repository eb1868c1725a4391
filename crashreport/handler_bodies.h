// The handler bodies: one per hook, each ending in LaunchReporter on the failing thread.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace vessick {

// Top-level (unhandled-exception) filters: report the pair the system passes.
LONG WINAPI PrimaryFilter(EXCEPTION_POINTERS* pointers);
LONG WINAPI ReassertFilter(EXCEPTION_POINTERS* pointers);

// Signals whose pair the run-time records for the thread (a hardware fault turned into the
// signal); raised by code instead, they capture the context at the handler.
void __cdecl OnSigSegv(int signal);
void __cdecl OnSigFpe(int signal);

// Capturing bodies: no pair comes with these hooks, so one is built at the call.
void __cdecl OnSigIll(int signal);
void __cdecl OnSigAbrt(int signal);
void __cdecl OnSigInt(int signal);
void __cdecl OnSigTerm(int signal);
void OnTerminate();
void OnUnexpected();
void __cdecl OnPureCall();
void __cdecl OnInvalidParameter(const wchar_t* expression, const wchar_t* function,
                                const wchar_t* file, unsigned int line, uintptr_t reserved);
// The run-time's answer: 0 means "do not retry the allocation".
int __cdecl OnNewHandler(size_t size);

}  // namespace vessick
