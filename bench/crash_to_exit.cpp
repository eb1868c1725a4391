// crash_to_exit [ROUNDS]: how long a crashed host waits for its reporter. Each round crashes a
// child host (this program, started with "child") once with a reporter that only sets the event
// and once with orlent.exe, alternating which goes first, and measures from the fault (the
// child's QueryPerformanceCounter just before it) to the child's exit as the parent sees it.
// Prints each reporter's median and the ratio. Not a test: figures for people.
//   build/wine-run build/tests/bin/crash_to_exit.exe 15
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
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

int Child(const wchar_t* reporterFolder, const wchar_t* stampFile) {
  const std::wstring folder = reporterFolder;
  const std::string narrow(folder.begin(), folder.end());
  InitOrlent("CrashToExit", "1.0", "bench", "", 1, 0, 0, narrow.c_str());
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

// Milliseconds from the child's fault to its exit; negative when the round failed.
double OneCrash(const std::wstring& self, const std::wstring& reporterFolder,
                const std::wstring& stampFile) {
  std::wstring commandLine = L"\"" + self + L"\" child \"" + reporterFolder + L"\" \"" +
                             stampFile + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(self.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &info))
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && std::wstring(argv[1]) == L"child") return Child(argv[2], argv[3]);
  const int rounds = argc > 1 ? std::max(1, _wtoi(argv[1])) : 15;
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  const std::wstring scratch =
      std::wstring(temp) + L"crash-to-exit-" + std::to_wstring(::GetCurrentProcessId());
  ::CreateDirectoryW(scratch.c_str(), nullptr);
  ::SetEnvironmentVariableW(L"ORLENT_REPORTS_DIR", (scratch + L"\\reports").c_str());
  const std::wstring stamp = scratch + L"\\crashed-at";
  const std::wstring folders[2] = {ProgramFolder() + L"\\trivial_reporter",
                                   ProgramFolder() + L"\\..\\..\\bin"};
  const wchar_t* names[2] = {L"event only", L"orlent.exe"};
  std::vector<double> times[2];
  for (int round = 0; round < rounds; ++round) {
    for (int k = 0; k < 2; ++k) {
      const int which = (round + k) % 2;  // alternate which reporter goes first
      const double ms = OneCrash(self, folders[which], stamp);
      if (ms < 0) std::wprintf(L"round %d, %ls: failed\n", round, names[which]);
      else times[which].push_back(ms);
    }
  }
  RemoveTree(scratch);
  for (int which = 0; which < 2; ++which)
    std::wprintf(L"%-12ls median %7.1f ms over %u crashes\n", names[which], Median(times[which]),
                 static_cast<unsigned>(times[which].size()));
  if (!times[0].empty() && !times[1].empty())
    std::wprintf(L"ratio        %7.2f (orlent.exe / event only)\n",
                 Median(times[1]) / Median(times[0]));
  return 0;
}
