// The three functions a host calls. No exception and no error crosses them.
#include "vessick.h"

#include <windows.h>

#include <cstdint>
#include <memory>

#include "bug_info.h"
#include "install_handlers.h"
#include "utf8_text.h"

namespace {

constexpr uint32_t kCodeValue = 2052;  // 0x0804, zh-CN
constexpr uint32_t kNoReferenceAddress = 0xFFFFFFFF;

struct ProcessHeapFree {
  void operator()(wchar_t* text) const { ::HeapFree(::GetProcessHeap(), 0, text); }
};
using HeapText = std::unique_ptr<wchar_t[], ProcessHeapFree>;

// The UTF-16 form of UTF-8 text (null counts as empty), in the process heap rather than through
// operator new: once InitOrlent has run, the library's new handler reports a failed allocation
// as a crash, and memory running out inside InitOrlent must only make the call fail. Null when
// memory ran out. Damaged text is converted by the library's own rules (utf8_text.h).
HeapText Widen(const char* utf8) {
  if (utf8 == nullptr) utf8 = "";
  const size_t units = vessick::Utf16CapacityFor(utf8);
  if (units > SIZE_MAX / sizeof(wchar_t)) return nullptr;
  HeapText wide(static_cast<wchar_t*>(
      ::HeapAlloc(::GetProcessHeap(), 0, units * sizeof(wchar_t))));
  if (wide) vessick::Utf8ToUtf16(utf8, wide.get(), units);
  return wide;
}

}  // namespace

extern "C" void __cdecl InitOrlent(const char* text1, const char* text2, const char* text3,
                                   const char* text4, unsigned int number1,
                                   unsigned int number2, unsigned int number3,
                                   const char* reporterDir) {
  const HeapText wide[] = {Widen(text1), Widen(text2), Widen(text3), Widen(text4),
                           Widen(reporterDir)};
  // All or nothing: without memory for the texts, whatever was in force stays.
  for (const HeapText& text : wide)
    if (!text) return;
  vessick::InitializeBugInfo(wide[0].get(), wide[1].get(), wide[2].get(), wide[3].get(),
                             number1 & 0xFFFF, number2 & 0xFFFF, number3 & 0xFFFF,
                             /*firstSetting=*/1, /*secondSetting=*/1, kCodeValue,
                             /*extraValue=*/0, kNoReferenceAddress, wide[4].get());
}

extern "C" void __cdecl SetOrlentUin(unsigned int uin) { vessick::SetUinFields(uin); }

extern "C" void __cdecl ValidateOrlent(void) { vessick::InstallHandlers(); }
