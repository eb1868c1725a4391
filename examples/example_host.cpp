// A host application as a game would start crash reporting: once, early in main, with the
// reporter shipped beside the executable. Run it with the name of a failure to see what a
// player's crash turns into:
//
//   example_host                      starts crash reporting and exits normally
//   example_host access-violation     writes through a null pointer (also the default of the demo)
//   example_host stack-overflow | divide-by-zero | abort | pure-call | cxx-exception |
//                thread-crash
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "vessick.h"

namespace {

// The folder of this executable, as UTF-8: orlent.exe is shipped beside it.
std::string OwnFolderUtf8() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (wchar_t* lastSlash = std::wcsrchr(path, L'\\')) *lastSlash = L'\0';
  char utf8[MAX_PATH * 3] = {};
  ::WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8, sizeof utf8, nullptr, nullptr);
  return utf8;
}

volatile int* volatile nowhere = nullptr;
volatile int zero = 0;

// The classic: a level that was never loaded. Out of line, so that the report names it.
__attribute__((noinline)) void LoadLevel() { *nowhere = 1; }

#pragma GCC diagnostic ignored "-Winfinite-recursion"
int __attribute__((noinline)) FindPath(int depth) {
  volatile char openList[4096];
  openList[0] = static_cast<char>(depth);
  return FindPath(depth + 1) + openList[0];
}

DWORD WINAPI WorkerThread(LPVOID) {
  LoadLevel();
  return 0;
}

}  // namespace

// Outside the anonymous namespace, so that the compiler cannot see every class deriving from
// Shape and call the derived function itself.
struct Shape;
void __attribute__((noinline)) Describe(Shape* shape);
struct Shape {
  Shape() { Describe(this); }  // calls the pure function before the derived part exists
  virtual ~Shape() = default;
  virtual double Area() = 0;
};
void Describe(Shape* shape) {
  asm volatile("" : "+r"(shape));  // keeps the compiler from resolving the call itself
  std::printf("area %f\n", shape->Area());
}
struct Circle : Shape {
  double Area() override { return 3.14; }
};

int main(int argc, char** argv) {
  const std::string reporterDir = OwnFolderUtf8();
  InitOrlent("ExampleHost", "1.0.0", "demo", "示例宿主", 1, 0, 42, reporterDir.c_str());
  std::printf("InitOrlent: crash reporting is on; reporter folder %s\n", reporterDir.c_str());
  SetOrlentUin(10482265);
  std::printf("SetOrlentUin: user number 10482265 recorded for reports\n");

  const std::string failure = argc > 1 ? argv[1] : "";
  if (failure.empty()) return 0;
  std::printf("failing on purpose: %s\n", failure.c_str());
  std::fflush(stdout);  // the reporter writes to the same output next

  if (failure == "access-violation") LoadLevel();
  if (failure == "stack-overflow") FindPath(0);
  if (failure == "divide-by-zero") std::printf("%d\n", 100 / zero);
  if (failure == "abort") std::abort();
  if (failure == "pure-call") Circle circle;
  if (failure == "cxx-exception") throw std::runtime_error("level data is corrupt");
  if (failure == "thread-crash") {
    HANDLE thread = ::CreateThread(nullptr, 0, WorkerThread, nullptr, 0, nullptr);
    ::WaitForSingleObject(thread, INFINITE);
  }
  std::fprintf(stderr, "unknown failure '%s'\n", failure.c_str());
  return 2;
}
