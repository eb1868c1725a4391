// One measured run of Quennet.dll for bench/quennet_bench.py, which interleaves the modes in
// fresh processes (peak memory is per process) and prints the figures:
//
//   quennet_bench DLL download URL WORKDIR   download only, the package kept in WORKDIR\dl
//   quennet_bench DLL two-pass URL WORKDIR   that, then the kept file extracted into WORKDIR\out
//   quennet_bench DLL stream   URL WORKDIR   the streaming task: download and extract at once
//
// Prints one JSON line: bytes, wall and CPU seconds, peak private memory.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "package_extractor.h"
#include "quennet.h"

namespace {

double Seconds(const FILETIME& time) {
  ULARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = time.dwHighDateTime;
  return static_cast<double>(value.QuadPart) / 1e7;
}

double CpuSeconds() {
  FILETIME created, exited, kernel, user;
  ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
  return Seconds(kernel) + Seconds(user);
}

double WallSeconds() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

class Totals : public IQuennetCallBack {
 public:
  std::uint64_t total = 0;
  std::uint32_t files = 0;
  void OnProgress(std::int32_t, std::uint64_t totalBytes, std::uint64_t, std::uint64_t,
                  std::uint32_t, std::uint32_t extracted, std::int32_t) override {
    total = totalBytes;
    files = extracted;
  }
};

int RunTask(HMODULE library, const wchar_t* url, const std::wstring& downloadDir,
            const std::wstring& extractDir, int flags, Totals* totals) {
  auto create = reinterpret_cast<CreateQuennetFn>(
      reinterpret_cast<void*>(::GetProcAddress(library, kCreateQuennetExport)));
  IQuennet* task = create(url, downloadDir.empty() ? nullptr : downloadDir.c_str(),
                          extractDir.c_str(), 5, flags, totals);
  task->Start();
  const int code = task->Wait();
  task->Release();
  return code;
}

int ExtractKeptFile(const std::wstring& path, const std::wstring& extractDir, std::wstring* text) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  auto extractor = quennet::CreatePackageExtractor(extractDir);
  std::vector<std::uint8_t> buffer(1 << 20);
  quennet::Outcome outcome;
  DWORD got = 0;
  while (outcome.ok() && ::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0)
    outcome = extractor->Consume(buffer.data(), got);
  ::CloseHandle(file);
  if (outcome.ok()) outcome = extractor->Finish(path);
  *text = outcome.text;
  return outcome.code;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) {
    std::fputs("usage: quennet_bench DLL download|two-pass|stream URL WORKDIR\n", stderr);
    return 2;
  }
  HMODULE library = ::LoadLibraryW(argv[1]);
  if (library == nullptr) return 3;
  const std::wstring mode = argv[2];
  const std::wstring work = argv[4];
  const std::wstring downloadDir = work + L"\\dl";
  const std::wstring extractDir = work + L"\\out";
  Totals totals;
  const double wallStart = WallSeconds();
  const double cpuStart = CpuSeconds();
  int code = 0;
  double downloadWall = 0;
  std::wstring text;
  if (mode == L"stream") {
    code = RunTask(library, argv[3], L"", extractDir, 0, &totals);
  } else {
    code = RunTask(library, argv[3], downloadDir, extractDir, QUENNET_FLAG_DOWNLOAD_ONLY, &totals);
    downloadWall = WallSeconds() - wallStart;
    if (code == 0 && mode == L"two-pass") {
      std::wstring name = argv[3];
      name = name.substr(0, name.find(L'?'));  // the library names the file without the query
      name = name.substr(name.find_last_of(L'/') + 1);
      code = ExtractKeptFile(downloadDir + L"\\" + name, extractDir, &text);
    }
  }
  const double wall = WallSeconds() - wallStart;
  const double cpu = CpuSeconds() - cpuStart;
  PROCESS_MEMORY_COUNTERS memory = {};
  memory.cb = sizeof(memory);
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof(memory));
  std::printf("{\"mode\":\"%ls\",\"code\":%d,\"bytes\":%llu,\"wall_s\":%.3f,\"download_wall_s\":%.3f,"
              "\"cpu_s\":%.3f,\"peak_private_mb\":%.1f,\"files\":%u}\n",
              mode.c_str(), code, static_cast<unsigned long long>(totals.total), wall, downloadWall, cpu,
              static_cast<double>(memory.PeakPagefileUsage) / (1024.0 * 1024.0), totals.files);
  ::FreeLibrary(library);
  return code == 0 ? 0 : 1;
}
