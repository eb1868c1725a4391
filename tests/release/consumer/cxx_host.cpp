// Starts crash reporting with the reporter beside the executable, then lets a C++ exception
// escape main.
#include <windows.h>

#include <stdexcept>
#include <string>

#include "vessick.h"

int main() {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder = path;
  folder.erase(folder.rfind('\\'));
  InitOrlent("ReleaseCxxHost", "1.0", "test", "", 1, 0, 0, folder.c_str());
  throw std::runtime_error("escaped main");
}
