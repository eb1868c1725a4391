#include "report/crash_signature.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>

#include "report/crash_report.h"

namespace orlent {
namespace {

std::wstring Lower(std::wstring_view text) {
  std::wstring lower(text);
  for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
  return lower;
}

bool StartsWith(std::wstring_view text, std::wstring_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool IdentifierChar(wchar_t c) { return std::iswalnum(c) || c == L'_' || c == L'$'; }

// Whitespace only matters between two words ("unsigned int", "char const"); next to
// punctuation it is the demangler's or the compiler's taste.
bool Punctuation(wchar_t c) { return c != 0 && !IdentifierChar(c) && !std::iswspace(c); }

// "LoadLevel+0x1A" and "LoadLevel+26": the offset into the function, never part of its name.
std::wstring_view WithoutOffset(std::wstring_view name) {
  const size_t plus = name.rfind(L'+');
  if (plus == std::wstring_view::npos || plus + 1 == name.size()) return name;
  std::wstring_view offset = name.substr(plus + 1);
  if (StartsWith(offset, L"0x") || StartsWith(offset, L"0X")) offset.remove_prefix(2);
  if (offset.empty()) return name;
  for (wchar_t c : offset)
    if (!std::iswxdigit(c)) return name;
  return name.substr(0, plus);
}

// "_WinMain@16", "@Fast@8": the 32-bit C calling conventions' decorations of a plain name,
// which debug information leaves off and the COFF symbol table keeps.
std::wstring WithoutDecoration(std::wstring name) {
  if (name.find_first_of(L"():<> ") != std::wstring::npos) return name;
  const size_t at = name.rfind(L'@');
  if (at != std::wstring::npos && at > 0 && at + 1 < name.size()) {
    bool digits = true;
    for (size_t i = at + 1; i < name.size(); ++i) digits = digits && std::iswdigit(name[i]);
    if (digits) name.erase(at);
  }
  if (name.size() > 1 && name[0] == L'@') name.erase(0, 1);
  return name;
}

// GCC's clones and split-off parts of a function ("main.cold", "f.part.0", "g.isra.0", and
// "h(int) [clone .constprop.0]" demangled) are the function itself: which ones exist depends on
// the optimiser, not on the crash.
std::wstring WithoutCloneSuffixes(std::wstring name) {
  for (size_t clone; (clone = name.find(L" [clone ")) != std::wstring::npos;) {
    const size_t end = name.find(L']', clone);
    name.erase(clone, end == std::wstring::npos ? std::wstring::npos : end + 1 - clone);
  }
  static const wchar_t* const kTags[] = {L".cold", L".part", L".isra", L".constprop",
                                         L".lto_priv", L".localalias", L".clone"};
  if (name.find_first_of(L"(<") == std::wstring::npos) {
    size_t cut = std::wstring::npos;
    for (const wchar_t* tag : kTags) {
      const size_t at = name.find(tag);
      if (at != std::wstring::npos && at > 0) cut = std::min(cut, at);
    }
    if (cut != std::wstring::npos) name.erase(cut);
  }
  return name;
}

const wchar_t* const kRuntimeDllPrefixes[] = {
    L"msvcrt", L"msvcr", L"msvcp", L"ucrtbase", L"vcruntime", L"api-ms-win-crt-",
    L"libstdc++", L"libgcc_s_", L"libwinpthread", L"concrt",
};

// The C++ run-time's throw, unwind and terminate paths, which a -static mingw module carries
// inside itself: every uncaught exception passes through them.
const wchar_t* const kRuntimeFunctionPrefixes[] = {
    L"__cxa_", L"__cxxabiv1::", L"__gxx_personality", L"_Unwind_", L"__gnu_cxx::__verbose_terminate_handler",
    L"std::terminate(", L"std::unexpected(", L"std::rethrow_exception(", L"__chkstk", L"___chkstk",
    // mingw's start-up code, linked into every program: the same below every main.
    L"__tmainCRTStartup", L"mainCRTStartup", L"WinMainCRTStartup", L"__mingw_",
};

}  // namespace

std::wstring NormalizedFunctionName(std::wstring_view function) {
  const std::wstring name = WithoutCloneSuffixes(std::wstring(WithoutOffset(function)));
  std::wstring out;
  for (size_t i = 0; i < name.size(); ++i) {
    if (!std::iswspace(name[i])) {
      out += name[i];
      continue;
    }
    size_t end = i;
    while (end < name.size() && std::iswspace(name[end])) ++end;
    const wchar_t before = out.empty() ? 0 : out.back();
    const wchar_t after = end < name.size() ? name[end] : 0;
    if (before != 0 && after != 0 && !Punctuation(before) && !Punctuation(after)) out += L' ';
    i = end - 1;
  }
  return WithoutDecoration(std::move(out));
}

bool IsPassedOverModule(const Module& module, const std::wstring& windowsFolder) {
  const std::wstring name = Lower(module.name);
  if (name == L"vessick.dll") return true;
  for (const wchar_t* prefix : kRuntimeDllPrefixes)
    if (StartsWith(name, prefix) && name.size() > 4 && name.compare(name.size() - 4, 4, L".dll") == 0)
      return true;
  const std::wstring path = Lower(module.path);
  if (!windowsFolder.empty()) return StartsWith(path, windowsFolder);
  return path.find(L"\\windows\\") != std::wstring::npos;
}

bool IsRuntimeFunction(const std::wstring& normalizedName) {
  for (const wchar_t* prefix : kRuntimeFunctionPrefixes)
    if (StartsWith(normalizedName, prefix)) return true;
  return normalizedName == L"std::terminate" || normalizedName == L"abort" ||
         normalizedName == L"raise";
}

std::wstring SignatureOf(const std::vector<SignatureFrame>& frames,
                         const std::wstring& windowsFolder) {
  std::wstring signature;
  size_t counted = 0;
  for (size_t i = 0; i < frames.size() && counted < kSignatureFrames; ++i) {
    const SignatureFrame& frame = frames[i];
    std::wstring part;
    if (frame.module == nullptr) {
      // Only the faulting address may lie outside every module (a call through a bad
      // pointer); further out, such a frame is a walk's guess.
      if (i != 0) continue;
      part = L"<no module>";
    } else {
      if (IsPassedOverModule(*frame.module, windowsFolder)) continue;
      const std::wstring function = NormalizedFunctionName(frame.function);
      if (!function.empty() && IsRuntimeFunction(function)) continue;
      part = frame.module->name + L"!" + (function.empty() ? L"<unknown>" : function);
    }
    if (counted++ != 0) signature += L" | ";
    signature += part;
  }
  return signature;
}

std::wstring CrashSignature(const CrashReport& report) {
  if (!report.stack.walked) return {};
  std::vector<SignatureFrame> frames;
  for (const StackFrame& frame : report.stack.trace.frames) {
    SignatureFrame shown;
    shown.module = report.modules.Find(frame.address);
    const auto name = report.functions.find(frame.address);
    if (name != report.functions.end()) shown.function = name->second;
    frames.push_back(std::move(shown));
  }
  wchar_t folder[MAX_PATH];
  const UINT length = ::GetSystemWindowsDirectoryW(folder, MAX_PATH);
  std::wstring windowsFolder;
  if (length != 0 && length < MAX_PATH) {
    windowsFolder = Lower(std::wstring_view(folder, length));
    if (windowsFolder.back() != L'\\') windowsFolder += L'\\';
  }
  return SignatureOf(frames, windowsFolder);
}

}  // namespace orlent
