// throwing_host throw REPORTER_DIR FACTS_FILE
// A C++ host that lets a std::runtime_error escape main: terminate reports it, and the report
// must name the exception's type. Same arguments as game_host.c.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "vessick.h"

__attribute__((noinline)) void StartLevel(const char* name) {
  throw std::runtime_error(std::string("level missing: ") + name);
}

int main(int argc, char** argv) {
  std::FILE* facts = argc == 4 ? std::fopen(argv[3], "w") : nullptr;
  if (facts == nullptr || std::strcmp(argv[1], "throw") != 0) {
    std::fputs("usage: throwing_host throw REPORTER_DIR FACTS_FILE\n", stderr);
    return 2;
  }
  InitOrlent("ThrowingHost", "0.9.1", "test", "", 0, 9, 1, argv[2]);
  std::fprintf(facts, "main_thread=%lx\n", ::GetCurrentThreadId());
  std::fclose(facts);
  StartLevel("forest");
  return 1;
}
