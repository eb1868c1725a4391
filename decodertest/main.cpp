// Tremath: the decoder library's test console.
#include <windows.h>

#include <clocale>
#include <iostream>

#include "console_output.h"
#include "console_pause.h"
#include "test_quennet.h"
#include "win/unique_handle.h"

int wmain(int, wchar_t**, wchar_t**) {
  // The wide console stream writes Chinese text in the code page of this locale.
  std::setlocale(LC_ALL, "chs");
  ShowWideOutputOnConsole();

  win::UniqueModule library(::LoadLibraryW(L"Quennet.dll"));
  if (!library) {
    std::wcout << L"加载Quennet.dll失败！";
    PauseForKey();
    return 1;
  }
  TestQuennet(library.get());
  // The test has waited for the task's last report, so no code of the library is running.
  library.reset();
  return 0;
}
