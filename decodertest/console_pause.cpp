#include "console_pause.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

void PauseForKey() {
  std::wcout.flush();
  std::cout.flush();
  std::fflush(stdout);
  std::system("pause");
}
