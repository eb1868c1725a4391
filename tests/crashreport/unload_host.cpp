// unload_host CASE FACTS_FILE [REPORTER_DIR]
// Loads Vessick.dll at run time (so that FreeLibrary really unmaps it) and checks what the
// library leaves in the process: the vectored handlers it registers, and after FreeLibrary that
// the host's own handling of exceptions and signals is back. Writes key=value facts; a fault case
// ends the process the way whatever handler is in force ends it.
//   vectored-count       counts of the vectored list around loading, InitOrlent and FreeLibrary
//   handled-after-unload a handled exception (IsBadReadPtr) after FreeLibrary; exits 0
//   fault-host-filter    the host's filter set before InitOrlent ends the process with 77
//   abort-host-signal    the host's SIGABRT action set before InitOrlent ends it with 78
//   fault-no-host-filter no host filter: the platform's own handling (the exception code)
//   standby-unload       three InitOrlent with REPORTER_DIR: one standby reporter, which ends
//                        (exit code 0) once FreeLibrary returns
//   standby-host-ends    starts this program with init-and-exit and checks that the standby it
//                        had ends with it
//   init-and-exit        InitOrlent with REPORTER_DIR, prints "initialised", returns 0
#include <windows.h>

#include <signal.h>
#include <stdlib.h>

#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <vector>

#include "win/unique_handle.h"

namespace {

FILE* facts = nullptr;

void Fact(const char* key, unsigned long value) {
  std::fprintf(facts, "%s=%lx\n", key, value);
  std::fflush(facts);
}

LONG CALLBACK Probe(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

// A registration's handle is its entry in the system's vectored list, whose first member is the
// list's links (so on Windows and on Wine); walking the ring from a probe entry counts the
// entries, the list head included, the probe excluded.
unsigned long VectoredEntries() {
  void* probe = ::AddVectoredExceptionHandler(0, &Probe);
  unsigned long count = 0;
  for (auto* link = static_cast<LIST_ENTRY*>(probe)->Flink; link != probe; link = link->Flink)
    ++count;
  ::RemoveVectoredExceptionHandler(probe);
  return count;
}

using InitOrlentFn = void(__cdecl*)(const char*, const char*, const char*, const char*,
                                    unsigned int, unsigned int, unsigned int, const char*);

std::string reporterDir;

// The orlent.exe processes this process started.
std::vector<DWORD> ReporterChildren() {
  std::vector<DWORD> children;
  const win::UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return children;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry))
    if (entry.th32ParentProcessID == ::GetCurrentProcessId() &&
        _wcsicmp(entry.szExeFile, L"orlent.exe") == 0)
      children.push_back(entry.th32ProcessID);
  return children;
}

// Waits up to 10 s for the process to end; its exit code, or -1 when it did not end.
long ExitCodeWithin10s(HANDLE process) {
  DWORD code = 0;
  if (::WaitForSingleObject(process, 10000) != WAIT_OBJECT_0 ||
      !::GetExitCodeProcess(process, &code))
    return -1;
  return static_cast<long>(code);
}

HMODULE LoadAndInit(int calls) {
  HMODULE library = ::LoadLibraryW(L"Vessick.dll");
  if (library == nullptr) {
    std::fputs("LoadLibraryW(Vessick.dll) failed\n", stderr);
    ::ExitProcess(2);
  }
  auto init = reinterpret_cast<InitOrlentFn>(
      reinterpret_cast<void*>(::GetProcAddress(library, "InitOrlent")));
  for (int i = 0; i < calls; ++i)
    init("UnloadHost", "1", "test", "", 1, 0, 0, reporterDir.c_str());
  return library;
}

void LoadInitAndUnload() { Fact("unloaded", ::FreeLibrary(LoadAndInit(1))); }

volatile int* volatile nullTarget = nullptr;

LONG WINAPI HostFilter(EXCEPTION_POINTERS*) {
  ::TerminateProcess(::GetCurrentProcess(), 77);
  return EXCEPTION_CONTINUE_SEARCH;
}

void __cdecl HostAbort(int) { ::TerminateProcess(::GetCurrentProcess(), 78); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fputs("usage: unload_host CASE FACTS_FILE [REPORTER_DIR]\n", stderr);
    return 2;
  }
  if (argc == 4) reporterDir = argv[3];
  const std::string testCase = argv[1];
  facts = std::fopen(argv[2], "w");
  if (facts == nullptr) return 2;

  if (testCase == "vectored-count") {
    Fact("before_load", VectoredEntries());
    HMODULE library = ::LoadLibraryW(L"Vessick.dll");
    Fact("loaded", VectoredEntries());
    auto init = reinterpret_cast<InitOrlentFn>(
        reinterpret_cast<void*>(::GetProcAddress(library, "InitOrlent")));
    init("UnloadHost", "1", "test", "", 1, 0, 0, "");
    Fact("after_one_init", VectoredEntries());
    for (int i = 0; i < 9; ++i) init("UnloadHost", "1", "test", "", 1, 0, 0, "");
    Fact("after_ten_inits", VectoredEntries());
    Fact("unloaded", ::FreeLibrary(library));
    Fact("after_unload", VectoredEntries());
    return 0;
  }
  if (testCase == "standby-unload") {
    HMODULE library = LoadAndInit(3);
    const std::vector<DWORD> standbys = ReporterChildren();
    Fact("standbys", standbys.size());
    if (standbys.size() != 1) return 3;
    const win::UniqueKernelHandle standby(::OpenProcess(
        SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, standbys[0]));
    Fact("standby_running", ::WaitForSingleObject(standby.get(), 0) == WAIT_TIMEOUT);
    Fact("unloaded", ::FreeLibrary(library));
    // FreeLibrary waits for the standby: it has ended by the time it returns.
    Fact("ended_at_unload", ::WaitForSingleObject(standby.get(), 0) == WAIT_OBJECT_0);
    Fact("standby_exit_code", static_cast<unsigned long>(ExitCodeWithin10s(standby.get())));
    Fact("standbys_after_unload", ReporterChildren().size());
    return 0;
  }
  if (testCase == "init-and-exit") {
    LoadAndInit(1);
    const std::vector<DWORD> standbys = ReporterChildren();
    Fact("standbys", standbys.size());
    if (!standbys.empty()) Fact("standby_pid", standbys[0]);
    std::puts("initialised");
    std::fflush(stdout);
    return 0;
  }
  if (testCase == "standby-host-ends") {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::string childFacts = std::string(argv[2]) + ".child";
    std::wstring line = L"unload_host init-and-exit \"" +
                        std::wstring(childFacts.begin(), childFacts.end()) + L"\" \"" +
                        std::wstring(reporterDir.begin(), reporterDir.end()) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!::CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &child))
      return 3;
    const win::UniqueKernelHandle childThread(child.hThread), childProcess(child.hProcess);
    Fact("host_exit_code", static_cast<unsigned long>(ExitCodeWithin10s(childProcess.get())));
    // The child's facts name its standby; it must end now that the child has.
    FILE* file = std::fopen(childFacts.c_str(), "r");
    unsigned long pid = 0;
    char key[32];
    while (file != nullptr && std::fscanf(file, "%31[^=]=%lx\n", key, &pid) == 2 &&
           std::string(key) != "standby_pid") pid = 0;
    if (file != nullptr) std::fclose(file);
    Fact("standby_pid", pid);
    const win::UniqueKernelHandle standby(
        ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    // Already gone and its id released, or ending now.
    Fact("standby_ended", !standby || ExitCodeWithin10s(standby.get()) == 0);
    return 0;
  }
  if (testCase == "handled-after-unload") {
    LoadInitAndUnload();
    Fact("bad_pointer_unreadable", ::IsBadReadPtr(reinterpret_cast<void*>(16), 4));
    return 0;
  }
  if (testCase == "fault-host-filter") {
    ::SetUnhandledExceptionFilter(&HostFilter);
    LoadInitAndUnload();
    *nullTarget = 1;
  } else if (testCase == "abort-host-signal") {
    signal(SIGABRT, &HostAbort);
    LoadInitAndUnload();
    raise(SIGABRT);
  } else if (testCase == "fault-no-host-filter") {
    LoadInitAndUnload();
    *nullTarget = 1;
  } else {
    std::fprintf(stderr, "unknown case %s\n", testCase.c_str());
    return 2;
  }
  std::fputs("the failure came back\n", stderr);
  return 1;
}
