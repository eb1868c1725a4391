#include "task/resume_record.h"

#include <windows.h>

#include <map>

#include "text/utf.h"
#include "win/unique_handle.h"

namespace quennet {
namespace {

constexpr char kFirstLine[] = "Quennet resume 1";
constexpr DWORD kLargestRecord = 64 * 1024;

bool ParseDecimal(const std::string& text, std::uint64_t limit, std::uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  std::uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (result > (limit - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

bool HasLineBreak(const std::wstring& text) {
  return text.find_first_of(L"\r\n") != std::wstring::npos;
}

}  // namespace

std::string FormatResumePoint(const ResumePoint& point) {
  return std::string(kFirstLine) + "\nurl=" + text::WideToUtf8(point.url) +
         "\nsize=" + std::to_string(point.size) + "\nvalidator=" + text::WideToUtf8(point.validator) +
         "\nfiles=" + std::to_string(point.files) + "\n";
}

bool ParseResumePoint(const std::string& text, ResumePoint* point) {
  std::map<std::string, std::string> values;
  size_t start = 0;
  bool first = true;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) return false;  // every line ends with a line feed
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (first) {
      if (line != kFirstLine) return false;
      first = false;
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos || line.find('\r') != std::string::npos) return false;
    if (!values.emplace(line.substr(0, equals), line.substr(equals + 1)).second) return false;
  }
  if (first || values.size() != 4) return false;
  ResumePoint parsed;
  std::uint64_t files = 0;
  if (!values.count("url") || !values.count("size") || !values.count("validator") ||
      !values.count("files"))
    return false;
  if (!ParseDecimal(values["size"], UINT64_MAX, &parsed.size) || parsed.size == 0) return false;
  if (!ParseDecimal(values["files"], UINT32_MAX, &files)) return false;
  parsed.files = static_cast<std::uint32_t>(files);
  parsed.url = text::Utf8ToWide(values["url"].c_str());
  parsed.validator = text::Utf8ToWide(values["validator"].c_str());
  if (parsed.url.empty() || parsed.validator.empty()) return false;
  *point = std::move(parsed);
  return true;
}

std::wstring ResumeRecordPath(const std::wstring& partialPath) {
  std::wstring path = partialPath;
  const std::wstring suffix = L".part";
  if (path.size() >= suffix.size() &&
      _wcsicmp(path.c_str() + path.size() - suffix.size(), suffix.c_str()) == 0)
    path.erase(path.size() - suffix.size());
  return path + L".resume";
}

bool ReadResumeRecord(const std::wstring& path, ResumePoint* point) {
  win::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  std::string text(kLargestRecord, '\0');
  DWORD got = 0;
  if (!::ReadFile(file.get(), &text[0], kLargestRecord, &got, nullptr) || got >= kLargestRecord)
    return false;
  text.resize(got);
  return ParseResumePoint(text, point);
}

bool WriteResumeRecord(const std::wstring& path, const ResumePoint& point) {
  if (HasLineBreak(point.url) || HasLineBreak(point.validator)) return false;
  const std::string text = FormatResumePoint(point);
  const std::wstring temporary = path + L".tmp";
  {
    win::UniqueFileHandle file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD wrote = 0;
    if (!::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr) ||
        wrote != text.size()) {
      file.reset();
      ::DeleteFileW(temporary.c_str());
      return false;
    }
  }
  if (!::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    ::DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

void RemoveResumeRecord(const std::wstring& path) { ::DeleteFileW(path.c_str()); }

}  // namespace quennet
