// The form fields of a report, taken from what the reporter collected.
#pragma once

#include "report/crash_report.h"
#include "upload/outbox_state.h"

namespace orlent::upload {

CrashFacts FactsOf(const CrashReport& report);

}  // namespace orlent::upload
