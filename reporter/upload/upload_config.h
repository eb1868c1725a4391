// orlent.ini, beside orlent.exe: whether and where reports are sent. Without the file, or with
// "enabled" not set to yes, nothing leaves the machine and the outbox is not touched.
//
//   [upload]
//   enabled = yes
//   url = https://crashes.example.com/submit
//   ...                      (the keys below, each optional)
//   [fields]
//   name = value             (extra form fields sent with every report)
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orlent::upload {

constexpr wchar_t kConfigFileName[] = L"orlent.ini";

struct UploadConfig {
  bool enabled = false;
  std::string url;                      // http:// or https://
  std::string productField = "prod";
  std::string versionField = "ver";
  bool gzip = false;                    // compress the body (Content-Encoding: gzip)
  bool requireConsent = false;          // keep each report until it is granted or declined
  int maxUploadsPerHour = 10;           // per product
  int giveUpAfterDays = 7;              // a report still not sent after this is dropped
  int timeLimitSeconds = 30;            // for the whole sending step of one run
  int retryInitialSeconds = 5;          // first wait after a failure; doubles each time
  int retryMaxSeconds = 6 * 3600;       // the longest wait between attempts
  std::vector<std::pair<std::string, std::string>> extraFields;
};

// The configuration in `text`. An unknown key, a bad value, or "enabled = yes" without a
// usable url is an error (a mistyped setting must not quietly send or quietly not send).
std::optional<UploadConfig> ParseUploadConfig(std::string_view text, std::string* error);

// orlent.ini beside the running orlent.exe. No file: a disabled configuration and no error.
// A file that cannot be read or parsed: nothing, with the reason in *error.
std::optional<UploadConfig> LoadUploadConfig(std::wstring* error);

}  // namespace orlent::upload
