// The same facts for tools: report.json, UTF-8.
#pragma once

#include <string>

#include "report/crash_report.h"

namespace orlent {

std::string FormatJsonReport(const CrashReport& report);

}  // namespace orlent
