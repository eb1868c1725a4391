// throwing_host MODE REPORTER_DIR FACTS_FILE
// A C++ host that lets an exception escape main: terminate reports it, and the report must
// name the exception's type and, where the object holds it, its message. MODE picks what is
// thrown:
//   throw   std::runtime_error("level missing: forest")
//   utf8    std::runtime_error with a line break, non-ASCII UTF-8 and a byte that is not UTF-8
//   range   std::out_of_range, two classes below std::logic_error
//   mixed   a class whose std::runtime_error base is not at the start of the object
//   long    std::runtime_error longer than a report shows, a two-byte character at the cut
//   custom  a std::exception whose what() is code, not a stored message
//   plain   a class that does not derive from std::exception
// Same arguments as game_host.c.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "vessick.h"

namespace game {

struct SaveSlot {
  virtual ~SaveSlot() = default;
  int slot = 3;
};

struct SaveFailed : SaveSlot, std::runtime_error {
  SaveFailed() : std::runtime_error("save slot 3: disk full") {}
};

struct ShaderFault : std::exception {
  const char* what() const noexcept override { return "shader compile failed"; }
};

struct ErrorCode {
  int code = 42;
};

}  // namespace game

__attribute__((noinline)) void StartLevel(const char* mode) {
  if (std::strcmp(mode, "throw") == 0) throw std::runtime_error("level missing: forest");
  if (std::strcmp(mode, "utf8") == 0)
    throw std::runtime_error("niveau manquant:\nfor\xC3\xAAt \xE2\x80\x93 \xE6\xA3\xAE\xE6\x9E\x97 "
                             "\xF0\x9F\x8C\xB2 \xFF!");
  if (std::strcmp(mode, "range") == 0) throw std::out_of_range("tile 900 of 640");
  if (std::strcmp(mode, "mixed") == 0) throw game::SaveFailed();
  if (std::strcmp(mode, "long") == 0)
    throw std::runtime_error(std::string(1023, 'x') + "\xC3\xA9" + std::string(100, 'y'));
  if (std::strcmp(mode, "custom") == 0) throw game::ShaderFault();
  if (std::strcmp(mode, "plain") == 0) throw game::ErrorCode();
}

int main(int argc, char** argv) {
  std::FILE* facts = argc == 4 ? std::fopen(argv[3], "w") : nullptr;
  if (facts == nullptr) {
    std::fputs("usage: throwing_host MODE REPORTER_DIR FACTS_FILE\n", stderr);
    return 2;
  }
  InitOrlent("ThrowingHost", "0.9.1", "test", "", 0, 9, 1, argv[2]);
  std::fprintf(facts, "main_thread=%lx\n", ::GetCurrentThreadId());
  std::fclose(facts);
  StartLevel(argv[1]);
  std::fputs("unknown mode\n", stderr);
  return 2;
}
