// The reporter from command line to exit code.
#pragma once

namespace orlent {

// Parses the command line, collects the crash while the host waits, releases the host and
// writes the report. Returns one of ExitCode.
int RunReporter(const wchar_t* commandLine);

}  // namespace orlent
