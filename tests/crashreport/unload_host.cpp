// unload_host CASE FACTS_FILE
// Loads Vessick.dll at run time (so that FreeLibrary really unmaps it) and checks what the
// library leaves in the process: the vectored handlers it registers, and after FreeLibrary that
// the host's own handling of exceptions and signals is back. Writes key=value facts; a fault case
// ends the process the way whatever handler is in force ends it.
//   vectored-count       counts of the vectored list around loading, InitOrlent and FreeLibrary
//   handled-after-unload a handled exception (IsBadReadPtr) after FreeLibrary; exits 0
//   fault-host-filter    the host's filter set before InitOrlent ends the process with 77
//   abort-host-signal    the host's SIGABRT action set before InitOrlent ends it with 78
//   fault-no-host-filter no host filter: the platform's own handling (the exception code)
#include <windows.h>

#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

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

HMODULE LoadAndInit(int calls) {
  HMODULE library = ::LoadLibraryW(L"Vessick.dll");
  if (library == nullptr) {
    std::fputs("LoadLibraryW(Vessick.dll) failed\n", stderr);
    ::ExitProcess(2);
  }
  auto init = reinterpret_cast<InitOrlentFn>(
      reinterpret_cast<void*>(::GetProcAddress(library, "InitOrlent")));
  for (int i = 0; i < calls; ++i) init("UnloadHost", "1", "test", "", 1, 0, 0, "");
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
  if (argc != 3) {
    std::fputs("usage: unload_host CASE FACTS_FILE\n", stderr);
    return 2;
  }
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
