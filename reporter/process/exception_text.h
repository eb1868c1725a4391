// Names and plain descriptions of exception codes, for the report.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace orlent {

// The symbolic name of a code ("EXCEPTION_ACCESS_VIOLATION"), or empty when it is not known.
const wchar_t* ExceptionCodeName(uint32_t code);

// One sentence on what happened, from the record: for an access violation the kind of access
// and the address; for code 0, a report that a handler asked for without a hardware fault.
std::wstring DescribeException(const EXCEPTION_RECORD& record);

}  // namespace orlent
