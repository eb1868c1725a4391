#include "process/fault_reason.h"

#include <cwctype>

namespace orlent {
namespace {

struct Body {
  const wchar_t* name;
  const wchar_t* reason;
};

// The handler bodies of Vessick.dll (crashreport/handler_bodies.cpp) that build the exception
// themselves; the filters receive a real one.
constexpr Body kBodies[] = {
    {L"OnSigAbrt", L"abort() was called (SIGABRT)"},
    {L"OnTerminate", L"uncaught C++ exception (terminate)"},
    {L"OnUnexpected", L"exception outside a function's throw() list (unexpected)"},
    {L"OnPureCall", L"pure virtual call"},
    {L"OnNewHandler", L"out of memory in operator new"},
    {L"OnInvalidParameter", L"invalid parameter passed to a C run-time function"},
    {L"OnSigInt", L"interrupted (SIGINT, Ctrl+C)"},
    {L"OnSigTerm", L"termination requested (SIGTERM)"},
    {L"OnSigIll", L"illegal instruction signal (SIGILL) raised"},
    {L"OnSigSegv", L"segmentation fault signal (SIGSEGV) raised by code"},
    {L"OnSigFpe", L"floating-point signal (SIGFPE) raised by code"},
};

bool IdentifierChar(wchar_t c) { return std::iswalnum(c) || c == L'_'; }

// `name` appears in `function` as a whole identifier: "vessick::OnSigAbrt(int)+0x1C",
// "OnSigAbrt+0x1C", not "OnSigAbrtHelper".
bool NamesBody(const std::wstring& function, const wchar_t* name) {
  const std::wstring wanted = name;
  for (size_t at = function.find(wanted); at != std::wstring::npos;
       at = function.find(wanted, at + 1)) {
    const size_t end = at + wanted.size();
    const bool startsWord = at == 0 || !IdentifierChar(function[at - 1]);
    const bool endsWord = end == function.size() || !IdentifierChar(function[end]);
    if (startsWord && endsWord) return true;
  }
  return false;
}

}  // namespace

std::wstring UncaughtExceptionReason(const std::wstring& type) {
  return L"uncaught C++ exception " + type + L" (terminate)";
}

FaultReason ReasonFromHandlerBody(const std::vector<std::wstring>& functions) {
  for (const std::wstring& function : functions)
    for (const Body& body : kBodies)
      if (NamesBody(function, body.name)) return {body.name, body.reason, {}, std::nullopt};
  return {};
}

}  // namespace orlent
