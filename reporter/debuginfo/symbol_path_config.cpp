// The [symbols] section of orlent.ini: where debug files for stripped modules are kept.
//
//   [symbols]
//   symbol_path = C:\symbols;\\server\store
#include <windows.h>

#include <vector>

#include "debuginfo/debug_file_locator.h"
#include "text/utf.h"
#include "upload/ini_text.h"
#include "upload/report_files.h"
#include "upload/upload_config.h"

namespace orlent::debuginfo {

std::vector<std::wstring> SymbolPathFromConfig() {
  std::vector<wchar_t> module(32768);
  const DWORD length =
      ::GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size()));
  if (length == 0 || length >= module.size()) return {};
  std::wstring path(module.data(), length);
  path.erase(path.find_last_of(L"\\/") + 1);
  path += upload::kConfigFileName;
  if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return {};
  std::string bytes;
  std::wstring error;
  if (!upload::ReadWholeFile(path, &bytes, &error)) return {};
  std::string parseError;
  const std::optional<std::vector<upload::IniEntry>> entries = upload::ParseIni(bytes, &parseError);
  if (!entries) return {};
  std::vector<std::wstring> folders;
  for (const upload::IniEntry& e : *entries)
    if (e.section == "symbols" && e.key == "symbol_path")
      for (std::wstring& folder : ParseSymbolPath(text::Utf8ToWide(e.value.c_str())))
        folders.push_back(std::move(folder));
  return folders;
}

}  // namespace orlent::debuginfo
