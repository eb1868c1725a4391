// The three functions a host calls. No exception and no error crosses them.
#include "vessick.h"

#include <windows.h>

#include <string>

#include "bug_info.h"
#include "install_handlers.h"

namespace {

// The UTF-16 form of UTF-8 text. Unlike the shared converter, which gives empty text when memory
// runs out, this throws std::bad_alloc then: InitOrlent must not go on with texts or a folder it
// could not convert.
std::wstring Widen(const char* utf8) {
  if (utf8 == nullptr || utf8[0] == '\0') return std::wstring();
  const int units = ::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  if (units <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(units), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide.data(), units);
  wide.resize(static_cast<size_t>(units) - 1);
  return wide;
}

constexpr uint32_t kCodeValue = 2052;  // 0x0804, zh-CN
constexpr uint32_t kNoReferenceAddress = 0xFFFFFFFF;

}  // namespace

extern "C" void __cdecl InitOrlent(const char* text1, const char* text2, const char* text3,
                                   const char* text4, unsigned int number1,
                                   unsigned int number2, unsigned int number3,
                                   const char* reporterDir) {
  try {
    const std::wstring wide1 = Widen(text1);
    const std::wstring wide2 = Widen(text2);
    const std::wstring wide3 = Widen(text3);
    const std::wstring wide4 = Widen(text4);
    const std::wstring wideReporterDir = Widen(reporterDir);
    vessick::InitializeBugInfo(wide1.c_str(), wide2.c_str(), wide3.c_str(), wide4.c_str(),
                               number1 & 0xFFFF, number2 & 0xFFFF, number3 & 0xFFFF,
                               /*firstSetting=*/1, /*secondSetting=*/1, kCodeValue,
                               /*extraValue=*/0, kNoReferenceAddress, wideReporterDir.c_str());
  } catch (...) {
    // Out of memory while converting: all or nothing, so whatever was in force stays.
  }
}

extern "C" void __cdecl SetOrlentUin(unsigned int uin) { vessick::SetUinFields(uin); }

extern "C" void __cdecl ValidateOrlent(void) { vessick::InstallHandlers(); }
