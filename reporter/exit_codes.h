// orlent's exit codes. The crashed host does not read them (it waits for the event); they are
// for whoever runs the reporter by hand and for tests.
#pragma once

namespace orlent {

enum ExitCode : int {
  kReportComplete = 0,     // every check passed, every file written
  kUsage = 1,              // malformed command line: nothing was touched
  kBadHandOff = 2,         // the inherited handles or the process id do not fit together
  kReportIncomplete = 3,   // a report was written, but the block failed checks or parts are missing
  kCannotWriteReport = 4,  // no report folder or no report file could be written
  kTimedOut = 5,           // the watchdog ended the reporter
  kInternalError = 6,      // the reporter itself failed (out of memory, a fault)
};

}  // namespace orlent
