// Why the host failed when no hardware exception says so. The library builds the exception
// (code 0) inside the handler body that the failure entered, so the body's name at the
// fault's address tells the failure: OnSigAbrt is abort(), OnTerminate an uncaught C++
// exception, and so on.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace orlent {

struct FaultReason {
  std::wstring body;    // "OnSigAbrt", empty when no body was recognised
  std::wstring reason;  // "abort() was called"
  std::wstring exceptionType;  // "std::runtime_error" for an uncaught C++ exception, when read
  std::optional<std::wstring> exceptionWhat;  // its what() text, when it could be read
};

// The reason for an uncaught C++ exception whose type was read:
// "uncaught C++ exception std::runtime_error (terminate)".
std::wstring UncaughtExceptionReason(const std::wstring& type);

// The first of `functions` (the fault's address first, then the crashing thread's frames,
// innermost first) that names one of the library's handler bodies.
FaultReason ReasonFromHandlerBody(const std::vector<std::wstring>& functions);

}  // namespace orlent
