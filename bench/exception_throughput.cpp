// exception_throughput [ROUNDS [MILLISECONDS]]
// What Vessick.dll costs a healthy host: structured exceptions raised and caught per second with
// no library, after one InitOrlent with no reporter to be found (no standby), after one and
// after ten (with orlent.exe found, so that its standby waits beside the host as in a game). Each measurement runs in a fresh child process
// (loading the library cannot be taken back), the three kinds in interleaved rounds so that a
// change in the machine's load touches all of them alike; prints every round, the medians and
// the ratios to the run without the library. Not a test: the figures depend on the machine.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// An exception registration record of the thread's SEH chain (32-bit x86): the handler resumes
// after the raise, so a raise passes every vectored handler and then this frame.
struct Registration {
  Registration* next;
  void* handler;
};

EXCEPTION_DISPOSITION __cdecl ResumeAfterRaise(EXCEPTION_RECORD*, void*, CONTEXT*, void*) {
  return ExceptionContinueExecution;
}

__attribute__((noinline)) void RaiseAndCatch() {
  Registration registration;
  asm volatile("movl %%fs:0, %0" : "=r"(registration.next));
  registration.handler = reinterpret_cast<void*>(&ResumeAfterRaise);
  asm volatile("movl %0, %%fs:0" : : "r"(&registration) : "memory");
  ::RaiseException(0xE0000001, 0, 0, nullptr);
  asm volatile("movl %0, %%fs:0" : : "r"(registration.next) : "memory");
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

using InitOrlentFn = void(__cdecl*)(const char*, const char*, const char*, const char*,
                                    unsigned int, unsigned int, unsigned int, const char*);

// The child: sets up the library as asked, measures, and returns the rate as its exit code.
// initCalls < 0: that many InitOrlent calls naming a folder without orlent.exe.
int Child(int initCalls, int milliseconds) {
  const bool withReporter = initCalls > 0;
  initCalls = initCalls < 0 ? -initCalls : initCalls;
  if (initCalls > 0) {
    HMODULE library = ::LoadLibraryW(L"Vessick.dll");
    auto init = library == nullptr ? nullptr
                                   : reinterpret_cast<InitOrlentFn>(reinterpret_cast<void*>(
                                         ::GetProcAddress(library, "InitOrlent")));
    if (init == nullptr) {
      std::fprintf(stderr, "LoadLibraryW(Vessick.dll) or GetProcAddress failed: error %lu\n",
                   ::GetLastError());
      return 0;
    }
    // orlent.exe to be found, as in a game's folder: InitOrlent starts its standby, which
    // waits beside the host for the whole measurement.
    wchar_t self[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring folder(self, length);
    folder = folder.substr(0, folder.find_last_of(L'\\')) +
             (withReporter ? L"\\..\\bin" : L"\\no-reporter-here");
    const std::string reporterDir(folder.begin(), folder.end());
    for (int i = 0; i < initCalls; ++i)
      init("Bench", "1", "bench", "", 1, 0, 0, reporterDir.c_str());
  }
  // The standby's start-up is paid once, at InitOrlent, on the other core; what is measured
  // here is the host's steady state, with the standby waiting. Every kind waits alike.
  ::Sleep(700);
  for (int i = 0; i < 2000; ++i) RaiseAndCatch();  // warm up
  LARGE_INTEGER start, now;
  ::QueryPerformanceCounter(&start);
  unsigned long count = 0;
  do {
    for (int i = 0; i < 1000; ++i) RaiseAndCatch();
    count += 1000;
    ::QueryPerformanceCounter(&now);
  } while (Seconds(start, now) * 1000 < milliseconds);
  return static_cast<int>(count / Seconds(start, now));
}

DWORD RunChild(int initCalls, int milliseconds) {
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --child " +
                             std::to_wstring(initCalls) + L" " + std::to_wstring(milliseconds);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  if (!::CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &started)) {
    std::fprintf(stderr, "CreateProcessW failed: error %lu\n", ::GetLastError());
    std::exit(1);
  }
  ::WaitForSingleObject(started.hProcess, INFINITE);
  DWORD rate = 0;
  ::GetExitCodeProcess(started.hProcess, &rate);
  ::CloseHandle(started.hThread);
  ::CloseHandle(started.hProcess);
  return rate;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--child") return Child(std::atoi(argv[2]), std::atoi(argv[3]));
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
  const int milliseconds = argc > 2 ? std::atoi(argv[2]) : 1000;

  // InitOrlent calls; 0 means the library is not loaded, -1 one call without a reporter
  const int kinds[] = {0, -1, 1, 10};
  std::vector<double> rates[4];
  std::printf("round  no library  x1 no standby  InitOrlent x1  InitOrlent x10  "
              "(exceptions per second)\n");
  for (int round = 1; round <= rounds; ++round) {
    for (int k = 0; k < 4; ++k) {
      const int which = (round + k) % 4;  // rotate which goes first
      rates[which].push_back(RunChild(kinds[which], milliseconds));
    }
    std::printf("%5d  %10.0f  %13.0f  %13.0f  %14.0f\n", round, rates[0].back(), rates[1].back(),
                rates[2].back(), rates[3].back());
  }
  const double none = Median(rates[0]);
  std::printf("median %9.0f  %13.0f  %13.0f  %14.0f\n", none, Median(rates[1]), Median(rates[2]),
              Median(rates[3]));
  std::printf("ratio to no library: x1 without standby %.3f, InitOrlent x1 %.3f, "
              "InitOrlent x10 %.3f\n",
              Median(rates[1]) / none, Median(rates[2]) / none, Median(rates[3]) / none);
  return 0;
}
