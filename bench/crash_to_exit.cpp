// crash_to_exit [ROUNDS] [phases] [nosession] [with=FOLDER]...: how long a crashed host waits
// for its reporter.
// Each round crashes a child host (this program, started with "child") once with each
// reporter, rotating which goes first, and measures from the fault (the child's
// QueryPerformanceCounter just before it) to the child's exit as the parent sees it. The
// reporters: one that only sets the event, and orlent.exe, each both ways: as the standby that
// InitOrlent started, and started at the fault (the child ends its standby before it faults,
// so the crash path falls back to starting one). With "nosession" also orlent.exe writing its
// dump without a dbghelp symbol session (ORLENT_DUMP_WITHOUT_SYMBOL_SESSION). With "phases"
// orlent.exe also prints its phase durations (ORLENT_PHASE_TIMES), the event-only reporter its
// start-up, and this program prints each phase's median. Each "with=FOLDER" (a Windows path)
// adds the orlent.exe in FOLDER, a candidate build (stripped, other imports), to the same
// rounds. Prints each reporter's median and its ratio to the event-only one of the same way.
// Not a test: figures for people.
//   build/wine-run build/bench/crash_to_exit.exe 15 phases nosession
//
// crash_to_exit init [ROUNDS]: what the standby costs a host that never crashes. Each round
// starts a child that times InitOrlent with orlent.exe to be found (a standby is started) and
// without (nothing to start), interleaved; with a standby the child then lets it settle and
// reads its memory (private bytes, PagefileUsage, and working set as Wine reports them) and whether it has
// loaded dbghelp.dll or winhttp.dll. Prints the medians.
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "vessick.h"
#include "win/unique_handle.h"

namespace {

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L'\\'));
}

// The orlent.exe this process started at InitOrlent, or an empty handle.
win::UniqueKernelHandle OpenStandby() {
  const win::UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = snapshot && ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry))
    if (entry.th32ParentProcessID == ::GetCurrentProcessId() &&
        _wcsicmp(entry.szExeFile, L"orlent.exe") == 0)
      return win::UniqueKernelHandle(::OpenProcess(PROCESS_ALL_ACCESS, FALSE, entry.th32ProcessID));
  return win::UniqueKernelHandle();
}

void InitOrlentWith(const wchar_t* reporterFolder) {
  const std::wstring folder = reporterFolder;
  const std::string narrow(folder.begin(), folder.end());
  InitOrlent("CrashToExit", "1.0", "bench", "", 1, 0, 0, narrow.c_str());
}

int Child(const wchar_t* reporterFolder, const wchar_t* stampFile, bool withoutStandby) {
  InitOrlentWith(reporterFolder);
  if (withoutStandby) {
    // A dead standby: the crash path starts a reporter at the fault, as without one.
    const win::UniqueKernelHandle standby = OpenStandby();
    if (standby) {
      ::TerminateProcess(standby.get(), 0);
      ::WaitForSingleObject(standby.get(), 10000);
    }
  }
  // A game faults long after its InitOrlent: the standby is up and waiting by then. Every way
  // waits alike, so that no start-up of the standby is counted as the crash's.
  ::Sleep(500);
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  win::UniqueFileHandle file(::CreateFileW(stampFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  ::WriteFile(file.get(), &now, sizeof now, &written, nullptr);
  file.reset();
  *static_cast<volatile int*>(nullptr) = 1;
  return 1;
}

struct Reporter {
  Reporter(std::wstring name, std::wstring folder, bool atTheFault,
           bool withoutSymbolSession = false)
      : name(std::move(name)), folder(std::move(folder)), atTheFault(atTheFault),
        withoutSymbolSession(withoutSymbolSession) {}
  std::wstring name;
  std::wstring folder;
  bool atTheFault;  // the standby is ended before the fault
  bool withoutSymbolSession;
  std::vector<double> times;
  std::map<std::wstring, std::vector<double>> phases;
  std::vector<std::wstring> phaseOrder;
};

std::string ReadWholeFile(const std::wstring& path) {
  win::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
  std::string bytes;
  if (!file) return bytes;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
    bytes.append(buffer, got);
  return bytes;
}

// "orlent: phases startup=12.30 block=0.10 ... (ms)" on the child's stderr.
void CollectPhases(const std::string& output, Reporter* reporter) {
  const size_t at = output.find("orlent: phases ");
  if (at == std::string::npos) return;
  const std::string line = output.substr(at + 15, output.find('\n', at) - at - 15);
  size_t from = 0;
  while (from < line.size()) {
    const size_t space = std::min(line.find(' ', from), line.size());
    const std::string item = line.substr(from, space - from);
    const size_t equals = item.find('=');
    if (equals != std::string::npos) {
      const std::wstring name(item.begin(), item.begin() + equals);
      if (reporter->phases.count(name) == 0) reporter->phaseOrder.push_back(name);
      reporter->phases[name].push_back(std::atof(item.c_str() + equals + 1));
    }
    from = space + 1;
  }
}

// Milliseconds from the child's fault to its exit; negative when the round failed. The
// child's stderr (and so the reporter's) goes to `errorFile` when it is not empty.
double OneCrash(const std::wstring& self, const Reporter& reporter, const std::wstring& stampFile,
                const std::wstring& errorFile) {
  std::wstring commandLine = L"\"" + self + L"\" child \"" + reporter.folder + L"\" \"" +
                             stampFile + L"\"" + (reporter.atTheFault ? L" nostandby" : L"");
  ::SetEnvironmentVariableW(L"ORLENT_DUMP_WITHOUT_SYMBOL_SESSION",
                            reporter.withoutSymbolSession ? L"1" : nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  win::UniqueFileHandle errors;
  if (!errorFile.empty()) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    errors.reset(::CreateFileW(errorFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = errors.get();
    startup.hStdError = errors.get();
  }
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(self.c_str(), commandLine.data(), nullptr, nullptr, errors.valid(), 0,
                        nullptr, nullptr, &startup, &info))
    return -1;
  win::UniqueKernelHandle process(info.hProcess), thread(info.hThread);
  if (::WaitForSingleObject(process.get(), 120000) != WAIT_OBJECT_0) return -1;
  LARGE_INTEGER exited, frequency, crashed = {};
  ::QueryPerformanceCounter(&exited);
  ::QueryPerformanceFrequency(&frequency);
  DWORD code = 0;
  ::GetExitCodeProcess(process.get(), &code);
  win::UniqueFileHandle file(::CreateFileW(stampFile.c_str(), GENERIC_READ, 0, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
  DWORD got = 0;
  if (code != 4660 || !file || !::ReadFile(file.get(), &crashed, sizeof crashed, &got, nullptr) ||
      got != sizeof crashed)
    return -1;
  return (exited.QuadPart - crashed.QuadPart) * 1000.0 / frequency.QuadPart;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  win::UniqueFindHandle search(::FindFirstFileW((path + L"\\*").c_str(), &found));
  if (search) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(path + L"\\" + name);
      else ::DeleteFileW((path + L"\\" + name).c_str());
    } while (::FindNextFileW(search.get(), &found));
  }
  ::RemoveDirectoryW(path.c_str());
}

// Times InitOrlent with `reporterFolder`, and measures the standby it started, if any, into
// `resultFile`: "init_ms private_kib working_set_kib dbghelp winhttp".
int InitChild(const wchar_t* reporterFolder, const wchar_t* resultFile) {
  LARGE_INTEGER before, after, frequency;
  ::QueryPerformanceCounter(&before);
  InitOrlentWith(reporterFolder);
  ::QueryPerformanceCounter(&after);
  ::QueryPerformanceFrequency(&frequency);
  const double ms = (after.QuadPart - before.QuadPart) * 1000.0 / frequency.QuadPart;
  PROCESS_MEMORY_COUNTERS_EX memory = {};
  bool dbghelp = false, winhttp = false;
  if (const win::UniqueKernelHandle standby = OpenStandby()) {
    ::Sleep(1500);  // started, ready and waiting
    ::GetProcessMemoryInfo(standby.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                           sizeof memory);
    HMODULE modules[256];
    DWORD bytes = 0;
    if (::EnumProcessModules(standby.get(), modules, sizeof modules, &bytes)) {
      for (DWORD i = 0; i < bytes / sizeof(HMODULE) && i < 256; ++i) {
        wchar_t name[MAX_PATH] = {};
        ::GetModuleBaseNameW(standby.get(), modules[i], name, MAX_PATH);
        dbghelp = dbghelp || _wcsicmp(name, L"dbghelp.dll") == 0;
        winhttp = winhttp || _wcsicmp(name, L"winhttp.dll") == 0;
      }
    }
  }
  char line[128];
  const int length = std::snprintf(line, sizeof line, "%.3f %lu %lu %d %d", ms,
                                   static_cast<unsigned long>(memory.PagefileUsage >> 10),
                                   static_cast<unsigned long>(memory.WorkingSetSize >> 10),
                                   dbghelp, winhttp);
  win::UniqueFileHandle file(::CreateFileW(resultFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  ::WriteFile(file.get(), line, length, &written, nullptr);
  return 0;
}

int InitFigures(int rounds) {
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  const std::wstring scratch =
      std::wstring(temp) + L"crash-to-exit-init-" + std::to_wstring(::GetCurrentProcessId());
  ::CreateDirectoryW(scratch.c_str(), nullptr);
  const std::wstring empty = scratch + L"\\no-reporter";
  ::CreateDirectoryW(empty.c_str(), nullptr);
  const std::wstring result = scratch + L"\\result.txt";
  const std::wstring folders[] = {empty, ProgramFolder() + L"\\..\\bin"};
  std::vector<double> initMs[2], privateKib, workingSetKib;
  int dbghelpLoaded = 0, winhttpLoaded = 0;
  for (int round = 0; round < rounds; ++round) {
    for (int k = 0; k < 2; ++k) {
      const int which = (round + k) % 2;
      std::wstring commandLine = L"\"" + std::wstring(self) + L"\" initchild \"" +
                                 folders[which] + L"\" \"" + result + L"\"";
      STARTUPINFOW startup = {};
      startup.cb = sizeof startup;
      PROCESS_INFORMATION info = {};
      if (!::CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            nullptr, &startup, &info))
        return 1;
      win::UniqueKernelHandle process(info.hProcess), thread(info.hThread);
      ::WaitForSingleObject(process.get(), 60000);
      double ms = 0;
      unsigned long privateBytes = 0, workingSet = 0;
      int dbghelp = 0, winhttp = 0;
      if (std::sscanf(ReadWholeFile(result).c_str(), "%lf %lu %lu %d %d", &ms, &privateBytes,
                      &workingSet, &dbghelp, &winhttp) != 5) {
        std::wprintf(L"round %d: no result\n", round);
        continue;
      }
      initMs[which].push_back(ms);
      if (which == 1) {
        privateKib.push_back(privateBytes);
        workingSetKib.push_back(workingSet);
        dbghelpLoaded += dbghelp;
        winhttpLoaded += winhttp;
      }
    }
  }
  RemoveTree(scratch);
  std::wprintf(L"InitOrlent without a standby  median %7.2f ms over %u runs\n", Median(initMs[0]),
               static_cast<unsigned>(initMs[0].size()));
  std::wprintf(L"InitOrlent starting one       median %7.2f ms over %u runs\n", Median(initMs[1]),
               static_cast<unsigned>(initMs[1].size()));
  std::wprintf(L"standby orlent.exe            median private %.0f KiB, working set %.0f KiB; "
               L"dbghelp.dll loaded in %d of %u, winhttp.dll in %d\n",
               Median(privateKib), Median(workingSetKib), dbghelpLoaded,
               static_cast<unsigned>(privateKib.size()), winhttpLoaded);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if ((argc == 4 || argc == 5) && std::wstring(argv[1]) == L"child")
    return Child(argv[2], argv[3], argc == 5);
  if (argc == 4 && std::wstring(argv[1]) == L"initchild") return InitChild(argv[2], argv[3]);
  if (argc >= 2 && std::wstring(argv[1]) == L"init")
    return InitFigures(argc >= 3 ? std::max(1, _wtoi(argv[2])) : 9);
  int rounds = 15;
  bool phases = false, noSession = false;
  std::vector<std::wstring> candidates;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"phases") phases = true;
    else if (arg == L"nosession") noSession = true;
    else if (arg.rfind(L"with=", 0) == 0) candidates.push_back(arg.substr(5));
    else rounds = std::max(1, _wtoi(argv[i]));
  }
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  const std::wstring scratch =
      std::wstring(temp) + L"crash-to-exit-" + std::to_wstring(::GetCurrentProcessId());
  ::CreateDirectoryW(scratch.c_str(), nullptr);
  ::SetEnvironmentVariableW(L"ORLENT_REPORTS_DIR", (scratch + L"\\reports").c_str());
  if (phases) ::SetEnvironmentVariableW(L"ORLENT_PHASE_TIMES", L"1");
  const std::wstring stamp = scratch + L"\\crashed-at";
  // orlent.exe prints its phases as it ends, after the host it released has gone: each crash
  // gets a file of its own, read once every reporter has finished.
  std::vector<std::pair<Reporter*, std::wstring>> errorFiles;
  std::vector<Reporter> reporters;
  // The event-only reporters first: each orlent row is set against the one of its own way.
  reporters.emplace_back(L"event only, at the fault", ProgramFolder() + L"\\trivial_reporter", true);
  reporters.emplace_back(L"event only, standby", ProgramFolder() + L"\\trivial_reporter", false);
  reporters.emplace_back(L"orlent.exe, at the fault", ProgramFolder() + L"\\..\\bin", true);
  reporters.emplace_back(L"orlent.exe, standby", ProgramFolder() + L"\\..\\bin", false);
  if (noSession)
    reporters.emplace_back(L"orlent, dump w/o session", ProgramFolder() + L"\\..\\bin", false,
                           true);
  for (const std::wstring& folder : candidates)
    reporters.emplace_back(folder.substr(folder.find_last_of(L"\\/") + 1), folder, false);
  const size_t count = reporters.size();
  for (int round = 0; round < rounds; ++round) {
    for (size_t k = 0; k < count; ++k) {
      Reporter& reporter = reporters[(round + k) % count];  // rotate which goes first
      const std::wstring errorFile =
          phases ? scratch + L"\\stderr-" + std::to_wstring(errorFiles.size()) + L".txt"
                 : std::wstring();
      if (phases) errorFiles.emplace_back(&reporter, errorFile);
      const double ms = OneCrash(self, reporter, stamp, errorFile);
      if (ms < 0) {
        std::wprintf(L"round %d, %ls: failed\n", round, reporter.name.c_str());
        continue;
      }
      reporter.times.push_back(ms);
    }
  }
  if (phases) ::Sleep(2000);
  for (const auto& [reporter, file] : errorFiles) CollectPhases(ReadWholeFile(file), reporter);
  RemoveTree(scratch);
  for (const Reporter& reporter : reporters) {
    std::wprintf(L"%-26ls median %7.1f ms over %u crashes", reporter.name.c_str(),
                 Median(reporter.times), static_cast<unsigned>(reporter.times.size()));
    const Reporter& floor = reporters[reporter.atTheFault ? 0 : 1];
    if (&reporter != &floor && !floor.times.empty() && !reporter.times.empty())
      std::wprintf(L", %.2f times event only", Median(reporter.times) / Median(floor.times));
    std::wprintf(L"\n");
    for (const std::wstring& name : reporter.phaseOrder)
      std::wprintf(L"    %-14ls median %7.2f ms\n", name.c_str(),
                   Median(reporter.phases.at(name)));
  }
  return 0;
}
