#include "entry_name.h"

#include <windows.h>

#include <cwctype>

namespace quennet {
namespace {

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

wchar_t AsciiUpper(wchar_t c) { return (c >= L'a' && c <= L'z') ? c - L'a' + L'A' : c; }

bool EqualsAsciiNoCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  return true;
}

// Windows opens a device for these whatever follows a dot, and ignores spaces before the dot.
bool IsDeviceName(std::wstring_view component) {
  std::wstring_view base = component.substr(0, component.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.remove_suffix(1);
  for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
    if (EqualsAsciiNoCase(base, device)) return true;
  if (base.size() == 4 &&
      (EqualsAsciiNoCase(base.substr(0, 3), L"COM") || EqualsAsciiNoCase(base.substr(0, 3), L"LPT"))) {
    const wchar_t digit = base[3];
    // Windows counts the superscript digits one to three as digits here too.
    return (digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
           digit == L'\u00B3';
  }
  return false;
}

bool IsForbiddenCharacter(wchar_t c) {
  return c < 0x20 || c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' || c == L'*';
}

}  // namespace

bool DecodeEntryName(std::string_view raw, NameEncoding encoding, std::wstring* name) {
  name->clear();
  if (raw.empty()) return true;
  if (encoding == NameEncoding::kUtf8Or936) {
    if (DecodeEntryName(raw, NameEncoding::kUtf8, name)) return true;
    return DecodeEntryName(raw, NameEncoding::kCodePage936, name);
  }
  const UINT codePage = encoding == NameEncoding::kUtf8 ? CP_UTF8 : 936;
  const int length = ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, raw.data(),
                                           static_cast<int>(raw.size()), nullptr, 0);
  if (length <= 0) return false;
  name->resize(static_cast<std::size_t>(length));
  return ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, raw.data(),
                               static_cast<int>(raw.size()), name->data(), length) == length;
}

std::wstring NameForPeople(std::string_view raw) {
  std::wstring name;
  if (DecodeEntryName(raw, NameEncoding::kUtf8Or936, &name)) return name;
  for (char c : raw) name.push_back(static_cast<unsigned char>(c) < 0x80 ? wchar_t(c) : L'?');
  return name;
}

std::wstring SplitSafeEntryName(const std::wstring& name, std::vector<std::wstring>* parts) {
  parts->clear();
  if (name.empty()) return L"名称为空";
  if (IsSeparator(name[0])) return L"是绝对路径";
  if (name.find(L':') != std::wstring::npos) return L"含有冒号（盘符或备用数据流）";
  for (wchar_t c : name)
    if (IsForbiddenCharacter(c)) return L"含有 Windows 文件名不允许的字符";

  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = start;
    while (end < name.size() && !IsSeparator(name[end])) ++end;
    const std::wstring component = name.substr(start, end - start);
    start = end + 1;
    if (component.empty() || component == L".") continue;
    if (component == L"..") return L"含有“..”，会跳出解压目录";
    if (component.back() == L'.' || component.back() == L' ') return L"有以点或空格结尾的部分";
    if (IsDeviceName(component)) return L"是 Windows 设备名";
    parts->push_back(component);
  }
  return {};
}

bool NamesFolder(const std::wstring& name) { return !name.empty() && IsSeparator(name.back()); }

}  // namespace quennet
