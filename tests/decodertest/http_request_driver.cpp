// http_request_driver async|sync [async|sync...]
// Runs the console's HTTP request routines, which the console's own entry never calls, against
// the Quennet.dll in this program's folder, in the order given.
#include <windows.h>

#include <clocale>
#include <cwchar>
#include <iostream>

#include "http_request_tests.h"
#include "win/unique_handle.h"

int wmain(int argc, wchar_t** argv) {
  std::setlocale(LC_ALL, "chs");
  win::UniqueModule library(::LoadLibraryW(L"Quennet.dll"));
  if (!library) {
    std::cerr << "http_request_driver: Quennet.dll not found\n";
    return 2;
  }
  for (int i = 1; i < argc; ++i) {
    if (std::wcscmp(argv[i], L"async") == 0) {
      TestHttpRequestAsync(library.get());
    } else if (std::wcscmp(argv[i], L"sync") == 0) {
      TestHttpRequestSync(library.get());
    } else {
      std::cerr << "http_request_driver: unknown routine\n";
      return 2;
    }
  }
  return 0;
}
