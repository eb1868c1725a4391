// The report for people: report.txt, UTF-8.
#pragma once

#include <string>

#include "report/crash_report.h"

namespace orlent {

std::string FormatTextReport(const CrashReport& report);

}  // namespace orlent
