#include "console_input.h"

#include <cwchar>
#include <iostream>
#include <limits>

namespace {

constexpr std::streamsize kLineCapacity = 1024;

void ReportEndedInput() { std::wcout << L"输入已结束，测试未执行。" << std::endl; }

}  // namespace

bool ReadChoice(int& value) {
  int read = 0;
  if (std::wcin >> read) {
    value = read;
    return true;
  }
  if (std::wcin.eof()) {
    ReportEndedInput();
  } else {
    std::wcout << L"输入的不是数字，测试未执行。" << std::endl;
  }
  return false;
}

bool ReadUrlLine(const wchar_t* prompt, std::wstring& line) {
  for (;;) {
    std::wcout << prompt << std::endl;
    wchar_t buf[kLineCapacity];
    std::wmemset(buf, 0, kLineCapacity);
    std::wcin.getline(buf, kLineCapacity);
    if (!std::wcin.fail()) {
      // A last line without its line end counts too; the next read then meets the end.
      line = buf;
      return true;
    }
    if (std::wcin.eof()) {
      ReportEndedInput();
      return false;
    }
    // Filled the buffer without reaching the line end: the URL would arrive cut short.
    std::wcin.clear();
    std::wcin.ignore(std::numeric_limits<std::streamsize>::max(), L'\n');
    std::wcout << L"URL过长（最多1023个字符），请重新输入。" << std::endl;
    if (std::wcin.eof()) {
      ReportEndedInput();
      return false;
    }
  }
}
