#include "reporter.h"

#include <windows.h>

#include <string>

#include "handoff/console_output.h"
#include "crash_collector.h"
#include "exit_codes.h"
#include "protocol/hand_off_line.h"
#include "handoff/hand_off_event.h"
#include "measure/phase_times.h"
#include "report/report_json.h"
#include "report/report_text.h"
#include "store/atomic_file.h"
#include "store/reports_root.h"
#include "store/retention.h"
#include "symbolize/report_symbolizer.h"
#include "upload/upload_step.h"
#include "win/error_text.h"
#include "win/unique_handle.h"

namespace orlent {
namespace {

// A dump of a large process takes seconds; a minute means something is stuck.
constexpr DWORD kWatchdogMs = 60 * 1000;

// The process handle must be an open handle to the process the command line names.
bool CheckProcess(const vessick::HandOff& handOff, std::wstring* error) {
  if (handOff.process == handOff.event || !IsOpenHandle(handOff.process)) {
    *error = L"the process handle is not an open handle";
    return false;
  }
  const DWORD actual = ::GetProcessId(handOff.process);
  if (actual == 0) {
    *error = L"the process handle is not a process: " + win::CallFailed(L"GetProcessId");
    return false;
  }
  if (actual != handOff.processId) {
    *error = L"the process handle belongs to process " + std::to_wstring(actual) +
             L", not to process " + std::to_wstring(handOff.processId);
    return false;
  }
  return true;
}

// report.txt never calls a report complete whose sibling is missing: the JSON goes first and
// a failure to write it is one of the text's problems; when the text then fails, the JSON is
// written again naming that. False when neither file could be written (then the empty folder
// is removed, so that a crash loop on a full disk leaves nothing behind).
bool WriteReportFiles(const std::wstring& folder, CrashReport* report, std::wstring* error) {
  const std::wstring jsonPath = folder + L"\\" + kJsonFileName;
  std::wstring jsonError, textError;
  const bool jsonWritten = WriteFileAtomically(jsonPath, FormatJsonReport(*report), &jsonError);
  if (!jsonWritten) report->problems.push_back(L"no report.json: " + jsonError);
  const bool textWritten = WriteFileAtomically(folder + L"\\" + kTextFileName,
                                               FormatTextReport(*report), &textError);
  if (!textWritten) {
    report->problems.push_back(L"no report.txt: " + textError);
    // A report.json that calls itself complete would lie; when there is no room for a copy
    // beside it, its own space is given up for the new one.
    const std::string json = FormatJsonReport(*report);
    std::wstring again;
    if (jsonWritten && !WriteFileAtomically(jsonPath, json, &again)) {
      ::DeleteFileW(jsonPath.c_str());
      if (!WriteFileAtomically(jsonPath, json, &again)) {
        *error = textError;
        ::RemoveDirectoryW(folder.c_str());
        return false;
      }
    }
  }
  if (!jsonWritten && !textWritten) {
    *error = textError;
    ::RemoveDirectoryW(folder.c_str());  // only when empty: a dump that was written stays
    return false;
  }
  return true;
}

}  // namespace

int RunReporter(const wchar_t* commandLine) {
  EndPhase(L"startup");
  std::wstring error;
  const std::optional<vessick::HandOff> handOff = vessick::ParseHandOffCommandLine(commandLine, &error);
  if (!handOff) {
    // Only now: the switches are split by shell32, which a crashed host must not wait for.
    if (const std::optional<int> code = upload::RunUploadSwitch(commandLine)) return *code;
    if (const std::optional<int> code = symbolize::RunSymbolizeSwitch(commandLine)) return *code;
    PrintError(L"malformed command line: " + error);
    PrintError(L"usage: orlent /buginfo:EVENT:PROCESS:BLOCK:PID (started by Vessick.dll)");
    return kUsage;
  }

  HandOffEvent event(handOff->event);
  if (!event.valid()) {
    PrintError(L"the event handle is not an open handle to an event; nothing was done");
    return kBadHandOff;
  }
  event.ArmWatchdog(kWatchdogMs, kTimedOut, kInternalError);
  // The process handle was inherited with the event; owning it closes it on every way out.
  win::UniqueKernelHandle process(IsOpenHandle(handOff->process) &&
                                          handOff->process != handOff->event
                                      ? handOff->process
                                      : nullptr);
  if (!CheckProcess(*handOff, &error)) {
    PrintError(error);
    return kBadHandOff;
  }

  EndPhase(L"hand_off");
  SYSTEMTIME nowUtc;
  ::GetSystemTime(&nowUtc);
  const std::optional<CreatedReportFolder> created = CreateReportFolderInFirstUsable(
      ReportsRootChoices(), nowUtc, handOff->processId, &error);
  if (!created) {
    PrintError(L"cannot create a report folder: " + error);
    return kCannotWriteReport;
  }
  const std::optional<std::wstring> folder = created->folder;
  EndPhase(L"folder");

  // The host is released only once the report is on disk: when the host's process has
  // ended, its report is complete, and the reporter's line comes before anything the host's
  // parent prints next.
  CrashReport report = CollectCrash(*handOff, *folder, nowUtc);
  report.reportsRootNote = created->note;
  if (!created->note.empty()) PrintError(created->note);
  const bool written = WriteReportFiles(*folder, &report, &error);
  EndPhase(L"files");
  if (written)
    PrintLine((report.complete() ? L"orlent: crash report written to "
                                 : L"orlent: incomplete crash report written to ") +
              *folder);
  else
    PrintError(L"cannot write the report in " + *folder + L": " + error);
  // Before the host is released: whatever holds the host (a launcher's job object, a test
  // harness) may end the reporter with it. In a root at its limit this removes one folder.
  if (written)
    for (const std::wstring& problem :
         PruneOldReports(created->root, folder->substr(folder->find_last_of(L"\\/") + 1)).problems)
      PrintError(L"cannot remove an old report: " + problem);
  EndPhase(L"prune");
  if (!event.Set()) {
    PrintError(win::CallFailed(L"SetEvent"));
    return kBadHandOff;
  }
  if (!written) return kCannotWriteReport;
  // The host has been released: sending may take seconds and never holds it up.
  EndPhase(L"release");
  upload::UploadAfterReport(report, *folder);
  EndPhase(L"upload");
  PrintPhaseTimes();
  return report.complete() ? kReportComplete : kReportIncomplete;
}

}  // namespace orlent
