// The three functions a host calls. No exception and no error crosses them.
#include "vessick.h"

#include <string>

#include "bug_info.h"
#include "install_handlers.h"
#include "text/utf.h"

namespace {

constexpr uint32_t kCodeValue = 2052;  // 0x0804, zh-CN
constexpr uint32_t kNoReferenceAddress = 0xFFFFFFFF;

}  // namespace

extern "C" void __cdecl InitOrlent(const char* text1, const char* text2, const char* text3,
                                   const char* text4, unsigned int number1,
                                   unsigned int number2, unsigned int number3,
                                   const char* reporterDir) {
  try {
    const std::wstring wide1 = text::Utf8ToWide(text1);
    const std::wstring wide2 = text::Utf8ToWide(text2);
    const std::wstring wide3 = text::Utf8ToWide(text3);
    const std::wstring wide4 = text::Utf8ToWide(text4);
    const std::wstring wideReporterDir = text::Utf8ToWide(reporterDir);
    vessick::InitializeBugInfo(wide1.c_str(), wide2.c_str(), wide3.c_str(), wide4.c_str(),
                               number1 & 0xFFFF, number2 & 0xFFFF, number3 & 0xFFFF,
                               /*firstSetting=*/1, /*secondSetting=*/1, kCodeValue,
                               /*extraValue=*/0, kNoReferenceAddress, wideReporterDir.c_str());
  } catch (...) {
    // Out of memory while converting: the host goes on with whatever was in place before.
  }
  ValidateOrlent();
}

extern "C" void __cdecl SetOrlentUin(unsigned int uin) { vessick::SetUinFields(uin); }

extern "C" void __cdecl ValidateOrlent(void) { vessick::InstallHandlers(); }
