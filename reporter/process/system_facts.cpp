#include "process/system_facts.h"

#include <psapi.h>

namespace orlent {
namespace {

// RtlGetVersion tells the truth where GetVersionEx answers as the manifest allows.
struct OsVersionInfo {
  ULONG size;
  ULONG major;
  ULONG minor;
  ULONG build;
  ULONG platform;
  WCHAR servicePack[128];
};
using RtlGetVersionFn = LONG(WINAPI*)(OsVersionInfo*);
using WineGetVersionFn = const char*(CDECL*)();

template <typename Fn>
Fn NtdllFunction(const char* name) {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll == nullptr ? nullptr
                         : reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(ntdll, name)));
}

std::wstring ProcessorName() {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0",
                      0, KEY_READ, &key) != ERROR_SUCCESS)
    return {};
  wchar_t name[256] = {};
  DWORD size = sizeof name - sizeof(wchar_t);
  DWORD type = 0;
  const LONG result = ::RegQueryValueExW(key, L"ProcessorNameString", nullptr, &type,
                                         reinterpret_cast<BYTE*>(name), &size);
  ::RegCloseKey(key);
  if (result != ERROR_SUCCESS || type != REG_SZ) return {};
  std::wstring text(name, wcsnlen(name, 255));
  while (!text.empty() && text.back() == L' ') text.pop_back();
  while (!text.empty() && text.front() == L' ') text.erase(0, 1);
  return text;
}

int64_t FileTimeMs(const FILETIME& time) {
  return static_cast<int64_t>((uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime) / 10000);
}

}  // namespace

SystemFacts ReadSystemFacts(HANDLE process) {
  SystemFacts facts;
  if (const auto rtlGetVersion = NtdllFunction<RtlGetVersionFn>("RtlGetVersion")) {
    OsVersionInfo version = {};
    version.size = sizeof version;
    if (rtlGetVersion(&version) == 0) {
      facts.windowsVersion = std::to_wstring(version.major) + L"." + std::to_wstring(version.minor);
      facts.windowsBuild = version.build;
      facts.servicePack.assign(version.servicePack, wcsnlen(version.servicePack, 127));
    }
  }
  // Wine says what it is through an ntdll export of its own.
  if (const auto wineVersion = NtdllFunction<WineGetVersionFn>("wine_get_version")) {
    if (const char* text = wineVersion())
      for (size_t i = 0; text[i] != '\0' && i < 64; ++i)
        facts.wineVersion.push_back(static_cast<wchar_t>(static_cast<unsigned char>(text[i])));
  }
  facts.processor = ProcessorName();
  SYSTEM_INFO system = {};
  ::GetNativeSystemInfo(&system);
  facts.processorCount = system.dwNumberOfProcessors;

  MEMORYSTATUSEX memory = {};
  memory.dwLength = sizeof memory;
  if (::GlobalMemoryStatusEx(&memory)) {
    facts.physicalTotal = memory.ullTotalPhys;
    facts.physicalAvailable = memory.ullAvailPhys;
    facts.memoryLoad = memory.dwMemoryLoad;
  }
  PROCESS_MEMORY_COUNTERS counters = {};
  if (::K32GetProcessMemoryInfo(process, &counters, sizeof counters)) {
    facts.processPrivateBytes = counters.PagefileUsage;
    facts.processWorkingSet = counters.WorkingSetSize;
  }
  FILETIME created, exited, kernel, user, now;
  if (::GetProcessTimes(process, &created, &exited, &kernel, &user)) {
    ::GetSystemTimeAsFileTime(&now);
    facts.processUptimeMs = FileTimeMs(now) - FileTimeMs(created);
  }
  return facts;
}

}  // namespace orlent
