#include "upload/upload_step.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "exit_codes.h"
#include "handoff/command_arguments.h"
#include "handoff/console_output.h"
#include "store/reports_root.h"
#include "text/utf.h"
#include "upload/crash_facts.h"
#include "upload/disk_outbox.h"
#include "upload/outbox_sender.h"
#include "upload/winhttp_transport.h"

namespace orlent::upload {
namespace {

// The reporter's watchdog ends it 60 s after it started, sending or not; the upload ends
// before that, with a margin for writing what became of each report.
constexpr int64_t kWatchdogBudgetMs = 55 * 1000;

int64_t FileTimeMs(const FILETIME& time) {
  ULARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = time.dwHighDateTime;
  return static_cast<int64_t>(value.QuadPart / 10000) - 11644473600000LL;
}

class SystemClock : public Clock {
 public:
  int64_t NowMs() override {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return FileTimeMs(now);
  }
  void SleepMs(int64_t ms) override {
    ::Sleep(static_cast<DWORD>(std::clamp<int64_t>(ms, 0, 3600 * 1000)));
  }
};

uint64_t BoundarySeed() {
  LARGE_INTEGER counter = {};
  ::QueryPerformanceCounter(&counter);
  return static_cast<uint64_t>(counter.QuadPart) ^
         (static_cast<uint64_t>(::GetCurrentProcessId()) << 40);
}

void Print(const SendSummary& summary) {
  for (const std::wstring& line : summary.lines) PrintLine(L"orlent: " + line);
  for (const std::wstring& problem : summary.problems) PrintError(problem);
}

// Sends the outbox unless another orlent.exe is at it (it will send what was queued).
void SendLocked(const UploadConfig& config, DiskOutbox* outbox, int64_t deadlineMs) {
  std::wstring error;
  bool busy = false;
  const std::optional<win::UniqueFileHandle> lock = TryLockOutbox(outbox->folder(), &busy, &error);
  if (!lock) {
    if (!busy) PrintError(L"upload: " + error);
    return;
  }
  WinHttpTransport transport;
  SystemClock clock;
  Print(SendOutbox(config, outbox, &transport, &clock, deadlineMs, BoundarySeed()));
}

std::optional<UploadConfig> Config() {
  std::wstring error;
  std::optional<UploadConfig> config = LoadUploadConfig(&error);
  if (!config) PrintError(L"upload settings not used: " + error);
  return config;
}

std::optional<std::wstring> Root() {
  std::wstring error;
  std::optional<std::wstring> root = ReportsRoot(&error);
  if (!root) PrintError(L"no reports root: " + error);
  return root;
}

}  // namespace

void UploadAfterReport(const CrashReport& report, const std::wstring& folder) {
  const std::optional<UploadConfig> config = Config();
  if (!config || !config->enabled) return;
  SystemClock clock;
  const int64_t now = clock.NowMs();
  FILETIME created, exited, kernel, user;
  int64_t deadline = now + config->timeLimitSeconds * 1000LL;
  if (::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user))
    deadline = std::min(deadline, FileTimeMs(created) + kWatchdogBudgetMs);

  const size_t slash = folder.find_last_of(L"\\/");
  DiskOutbox outbox(folder.substr(0, slash));
  const OutboxEntry entry = NewEntry(*config, text::WideToUtf8(folder.substr(slash + 1)),
                                     FactsOf(report), now);
  std::wstring error;
  if (!outbox.SaveEntry(entry, &error)) {
    PrintError(L"upload: the report could not be queued: " + error);
    return;
  }
  if (entry.state == EntryState::kAwaitingConsent)
    PrintLine(L"orlent: report awaits consent: orlent /grant " + folder.substr(slash + 1) +
              L" or orlent /decline " + folder.substr(slash + 1));
  SendLocked(*config, &outbox, deadline);
}

std::optional<int> RunUploadSwitch(const wchar_t* commandLine) {
  const std::vector<std::wstring> args = CommandArguments(commandLine);
  const size_t count = args.size();
  if (count < 2) return std::nullopt;
  const bool upload = IsSwitch(args[1], L"/upload");
  const bool grant = IsSwitch(args[1], L"/grant");
  const bool decline = IsSwitch(args[1], L"/decline");
  if (!upload && !grant && !decline) return std::nullopt;
  if (count != (upload ? 2 : 3)) {
    PrintError(L"usage: orlent /upload | orlent /grant REPORT | orlent /decline REPORT");
    return kUsage;
  }

  const std::optional<UploadConfig> config = Config();
  const std::optional<std::wstring> root = Root();
  if (!config || !root) return kUsage;
  DiskOutbox outbox(*root);
  if (!upload) {
    // A report is named by its folder; a full path to it is taken too.
    const std::wstring report = args[2].substr(args[2].find_last_of(L"\\/") + 1);
    std::wstring error;
    if (!DecideConsent(&outbox, text::WideToUtf8(report), grant, &error)) {
      PrintError(error);
      return kUsage;
    }
    PrintLine(L"orlent: report " + report + (grant ? L" queued for sending" : L" deleted"));
    if (decline) return kReportComplete;
  }
  if (!config->enabled) {
    PrintError(L"uploads are not enabled in orlent.ini; nothing was sent");
    return kReportComplete;
  }
  SystemClock clock;
  SendLocked(*config, &outbox, clock.NowMs() + config->timeLimitSeconds * 1000LL);
  return kReportComplete;
}

}  // namespace orlent::upload
