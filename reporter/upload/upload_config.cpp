#include "upload/upload_config.h"

#include <windows.h>

#include <vector>

#include "text/utf.h"
#include "upload/ini_text.h"
#include "upload/report_files.h"
#include "win/error_text.h"

namespace orlent::upload {
namespace {

bool SetNumber(const IniEntry& e, long long min, long long max, int* target, std::string* error) {
  const std::optional<long long> n = ParseCount(e.value, max);
  if (!n || *n < min) {
    *error = "line " + std::to_string(e.line) + ": " + e.key + " must be a whole number from " +
             std::to_string(min) + " to " + std::to_string(max);
    return false;
  }
  *target = static_cast<int>(*n);
  return true;
}

bool SetSwitch(const IniEntry& e, bool* target, std::string* error) {
  const std::optional<bool> b = ParseSwitch(e.value);
  if (!b) {
    *error = "line " + std::to_string(e.line) + ": " + e.key + " must be yes or no";
    return false;
  }
  *target = *b;
  return true;
}

// A form field's name goes into a quoted header parameter.
bool UsableFieldName(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\') return false;
  return true;
}

bool SetUpload(const IniEntry& e, UploadConfig* c, std::string* error) {
  if (e.key == "enabled") return SetSwitch(e, &c->enabled, error);
  if (e.key == "gzip") return SetSwitch(e, &c->gzip, error);
  if (e.key == "require_consent") return SetSwitch(e, &c->requireConsent, error);
  if (e.key == "max_uploads_per_hour") return SetNumber(e, 1, 100000, &c->maxUploadsPerHour, error);
  if (e.key == "give_up_after_days") return SetNumber(e, 1, 3650, &c->giveUpAfterDays, error);
  if (e.key == "time_limit_seconds") return SetNumber(e, 1, 3600, &c->timeLimitSeconds, error);
  if (e.key == "retry_initial_seconds")
    return SetNumber(e, 1, 86400, &c->retryInitialSeconds, error);
  if (e.key == "retry_max_seconds") return SetNumber(e, 1, 7 * 86400, &c->retryMaxSeconds, error);
  if (e.key == "url") {
    c->url = e.value;
    return true;
  }
  if (e.key == "product_field" || e.key == "version_field") {
    if (!UsableFieldName(e.value)) {
      *error = "line " + std::to_string(e.line) + ": " + e.key + " is not a usable field name";
      return false;
    }
    (e.key == "product_field" ? c->productField : c->versionField) = e.value;
    return true;
  }
  *error = "line " + std::to_string(e.line) + ": unknown setting " + e.key;
  return false;
}

}  // namespace

std::optional<UploadConfig> ParseUploadConfig(std::string_view text, std::string* error) {
  const std::optional<std::vector<IniEntry>> entries = ParseIni(text, error);
  if (!entries) return std::nullopt;
  UploadConfig config;
  for (const IniEntry& e : *entries) {
    if (e.section == "upload") {
      if (!SetUpload(e, &config, error)) return std::nullopt;
    } else if (e.section == "fields") {
      // Keys are kept as written, not lower-cased: servers match field names exactly.
      if (!UsableFieldName(e.keyAsWritten)) {
        *error = "line " + std::to_string(e.line) + ": not a usable field name";
        return std::nullopt;
      }
      config.extraFields.emplace_back(e.keyAsWritten, e.value);
    } else if (e.section == "symbols") {
      continue;  // where debug files are found (debuginfo/symbol_path_config.cpp)
    } else {
      *error = "line " + std::to_string(e.line) +
               ": setting outside [upload], [fields] or [symbols]";
      return std::nullopt;
    }
  }
  if (config.enabled) {
    const bool http = config.url.rfind("http://", 0) == 0;
    const bool https = config.url.rfind("https://", 0) == 0;
    if (!http && !https) {
      *error = "uploads are enabled but url is not an http:// or https:// address";
      return std::nullopt;
    }
  }
  if (config.retryMaxSeconds < config.retryInitialSeconds)
    config.retryMaxSeconds = config.retryInitialSeconds;
  return config;
}

std::optional<UploadConfig> LoadUploadConfig(std::wstring* error) {
  std::vector<wchar_t> module(32768);
  const DWORD length = ::GetModuleFileNameW(nullptr, module.data(),
                                            static_cast<DWORD>(module.size()));
  if (length == 0 || length >= module.size()) {
    *error = win::CallFailed(L"GetModuleFileNameW");
    return std::nullopt;
  }
  std::wstring path(module.data(), length);
  path.erase(path.find_last_of(L"\\/") + 1);
  path += kConfigFileName;
  if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
      (::GetLastError() == ERROR_FILE_NOT_FOUND || ::GetLastError() == ERROR_PATH_NOT_FOUND))
    return UploadConfig();
  std::string bytes;
  if (!ReadWholeFile(path, &bytes, error)) return std::nullopt;
  std::string parseError;
  std::optional<UploadConfig> config = ParseUploadConfig(bytes, &parseError);
  if (!config) *error = path + L": " + text::Utf8ToWide(parseError.c_str());
  return config;
}

}  // namespace orlent::upload
