#include "process/exception_text.h"
#include "text/hex.h"

#include <cwchar>

namespace orlent {
namespace {

struct NamedCode {
  uint32_t code;
  const wchar_t* name;
};

constexpr NamedCode kNames[] = {
    {0xC0000005, L"EXCEPTION_ACCESS_VIOLATION"},
    {0xC00000FD, L"EXCEPTION_STACK_OVERFLOW"},
    {0x80000002, L"EXCEPTION_DATATYPE_MISALIGNMENT"},
    {0x80000003, L"EXCEPTION_BREAKPOINT"},
    {0x80000004, L"EXCEPTION_SINGLE_STEP"},
    {0xC000008C, L"EXCEPTION_ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008D, L"EXCEPTION_FLT_DENORMAL_OPERAND"},
    {0xC000008E, L"EXCEPTION_FLT_DIVIDE_BY_ZERO"},
    {0xC000008F, L"EXCEPTION_FLT_INEXACT_RESULT"},
    {0xC0000090, L"EXCEPTION_FLT_INVALID_OPERATION"},
    {0xC0000091, L"EXCEPTION_FLT_OVERFLOW"},
    {0xC0000092, L"EXCEPTION_FLT_STACK_CHECK"},
    {0xC0000093, L"EXCEPTION_FLT_UNDERFLOW"},
    {0xC0000094, L"EXCEPTION_INT_DIVIDE_BY_ZERO"},
    {0xC0000095, L"EXCEPTION_INT_OVERFLOW"},
    {0xC0000096, L"EXCEPTION_PRIV_INSTRUCTION"},
    {0xC0000006, L"EXCEPTION_IN_PAGE_ERROR"},
    {0xC000001D, L"EXCEPTION_ILLEGAL_INSTRUCTION"},
    {0xC0000025, L"EXCEPTION_NONCONTINUABLE_EXCEPTION"},
    {0xC0000026, L"EXCEPTION_INVALID_DISPOSITION"},
    {0x80000001, L"EXCEPTION_GUARD_PAGE"},
    {0xC0000008, L"EXCEPTION_INVALID_HANDLE"},
    {0xC0000409, L"STATUS_STACK_BUFFER_OVERRUN"},
    {0xC0000417, L"STATUS_INVALID_CRUNTIME_PARAMETER"},
    {0xC0000374, L"STATUS_HEAP_CORRUPTION"},
    {0x40000015, L"STATUS_FATAL_APP_EXIT"},
    {0xC0000135, L"STATUS_DLL_NOT_FOUND"},
    {0xC0000142, L"STATUS_DLL_INIT_FAILED"},
    {0xE06D7363, L"C++ exception (Visual C++)"},
    {0x20474343, L"C++ exception (GCC)"},
    {0x40010005, L"DBG_CONTROL_C"},
};

const wchar_t* AccessVerb(uint32_t kind) {
  switch (kind) {
    case 0: return L"reading";
    case 1: return L"writing";
    case 8: return L"executing";
    default: return L"accessing";
  }
}

}  // namespace

const wchar_t* ExceptionCodeName(uint32_t code) {
  for (const NamedCode& named : kNames)
    if (named.code == code) return named.name;
  return L"";
}

std::wstring DescribeException(const EXCEPTION_RECORD& record) {
  const uint32_t code = record.ExceptionCode;
  const uint32_t at = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record.ExceptionAddress));
  if (code == 0)
    return L"No hardware fault: a last-chance handler (abort, terminate, a run-time check or "
           L"a signal) asked for the report at " + text::Hex32W(at) + L".";
  const uint32_t count = record.NumberParameters <= EXCEPTION_MAXIMUM_PARAMETERS
                             ? record.NumberParameters
                             : 0;
  if ((code == 0xC0000005 || code == 0xC0000006) && count >= 2) {
    const uint32_t kind = static_cast<uint32_t>(record.ExceptionInformation[0]);
    const uint32_t target = static_cast<uint32_t>(record.ExceptionInformation[1]);
    const wchar_t* verb = AccessVerb(kind);
    return std::wstring(code == 0xC0000005 ? L"Access violation " : L"Page fault ") + verb +
           L" address " + text::Hex32W(target) + L" at " + text::Hex32W(at) + L".";
  }
  if (code == 0xC00000FD) return L"The thread ran out of stack at " + text::Hex32W(at) + L".";
  const std::wstring name = ExceptionCodeName(code);
  return L"Exception " + text::Hex32W(code) + (name.empty() ? L"" : L" (" + name + L")") + L" at " +
         text::Hex32W(at) + L".";
}

}  // namespace orlent
