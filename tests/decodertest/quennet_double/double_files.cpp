#include "double_files.h"

#include <mutex>

#include "win/unique_handle.h"

namespace quennet_double {
namespace {

HMODULE ownModule = nullptr;
std::mutex recordMutex;

std::string Escape(const std::string& field) {
  std::string escaped;
  for (char c : field) {
    switch (c) {
      case '\\':
        escaped += "\\\\";
        break;
      case '\t':
        escaped += "\\t";
        break;
      case '\r':
        escaped += "\\r";
        break;
      case '\n':
        escaped += "\\n";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

}  // namespace

void SetOwnModule(HMODULE module) { ownModule = module; }

std::wstring BesideModule(const wchar_t* name) {
  wchar_t path[MAX_PATH * 4] = {};
  ::GetModuleFileNameW(ownModule, path, MAX_PATH * 4);
  std::wstring result(path);
  return result.substr(0, result.find_last_of(L'\\') + 1) + name;
}

std::vector<std::string> ReadScriptLines() {
  win::UniqueFileHandle file(::CreateFileW(BesideModule(L"quennet_script.txt").c_str(),
                                           GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
  std::vector<std::string> lines;
  if (!file) return lines;
  std::string content;
  char chunk[4096];
  DWORD got = 0;
  while (::ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0)
    content.append(chunk, got);
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

void Record(const std::vector<std::string>& fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += '\t';
    line += Escape(fields[i]);
  }
  line += '\n';
  std::lock_guard<std::mutex> lock(recordMutex);
  win::UniqueFileHandle file(::CreateFileW(BesideModule(L"quennet_record.txt").c_str(),
                                           FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  DWORD written = 0;
  ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

std::string ToUtf8(const wchar_t* text) {
  if (text == nullptr) return "(null)";
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string result(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) ::WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
  return result;
}

std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(size, L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(),
                        size);
  return result;
}

}  // namespace quennet_double
