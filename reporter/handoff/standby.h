// orlent started with /standby: at the host's InitOrlent (protocol/standby_line.h): it waits,
// costing the host nothing but its idle process, until the host faults, quits or ends.
#pragma once

namespace orlent {

// Runs the standby from its command line. On the host's fault it hands the very /buginfo:
// line a reporter started at the fault would get to `report` and returns its exit code; when
// the host ends or asks it to quit, returns kReportComplete at once without a report.
int RunStandby(const wchar_t* commandLine, int (*report)(const wchar_t* handOffLine));

}  // namespace orlent
