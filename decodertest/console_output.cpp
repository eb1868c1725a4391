#include "console_output.h"

#include <windows.h>

#include <iostream>
#include <streambuf>

namespace {

// msvcrt's fputwc, which std::wcout writes through, fails on a console handle under Wine as soon
// as it meets a character outside the console's code page (even with the "chs" locale and code
// page 936), and the stream then stays bad: the operator saw the menu cut off at its first
// Chinese character. WriteConsoleW takes UTF-16 as it is, on Wine and on Windows alike.
class ConsoleWideBuffer : public std::wstreambuf {
 public:
  explicit ConsoleWideBuffer(HANDLE console) : console_(console) {
    setp(buffer_, buffer_ + kCapacity);
  }

 protected:
  int_type overflow(int_type ch) override {
    if (!WritePending()) return traits_type::eof();
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(ch);
      pbump(1);
    }
    return traits_type::not_eof(ch);
  }

  int sync() override { return WritePending() ? 0 : -1; }

 private:
  static constexpr int kCapacity = 512;

  bool WritePending() {
    const wchar_t* next = pbase();
    DWORD left = static_cast<DWORD>(pptr() - pbase());
    while (left > 0) {
      DWORD written = 0;
      if (!::WriteConsoleW(console_, next, left, &written, nullptr) || written == 0) return false;
      next += written;
      left -= written;
    }
    setp(buffer_, buffer_ + kCapacity);
    return true;
  }

  HANDLE console_;  // the process's standard output, not ours to close
  wchar_t buffer_[kCapacity];
};

}  // namespace

void ShowWideOutputOnConsole() {
  const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (output == nullptr || output == INVALID_HANDLE_VALUE || !::GetConsoleMode(output, &mode))
    return;  // a pipe or a file: the locale's bytes, unchanged
  // Lives as long as the process: std::wcout is flushed at exit, after main returns.
  static ConsoleWideBuffer buffer(output);
  std::wcout.rdbuf(&buffer);
}
