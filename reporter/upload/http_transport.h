// One HTTP POST, behind an interface: WinHTTP in orlent.exe, an in-memory double in tests.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace orlent::upload {

struct HttpRequest {
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;  // besides Content-Length
  std::string body;                                          // sent with its length, whole
  int64_t timeoutMs = 30000;
};

struct HttpResponse {
  int status = 0;           // 0: no answer (the request failed; see error)
  std::string retryAfter;   // the Retry-After header as sent, or empty
  std::string body;         // the answer, cut at kMaxAnswerBytes
  std::string error;        // for status 0: which call failed and why
};

// A collector's answer is a crash id or a short message; more than this is not kept.
constexpr size_t kMaxAnswerBytes = 64 * 1024;

class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  virtual HttpResponse Post(const HttpRequest& request) = 0;
};

// Wall-clock time and waiting, behind an interface for the same reason.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t NowMs() = 0;  // milliseconds since 1970-01-01 UTC
  virtual void SleepMs(int64_t ms) = 0;
};

}  // namespace orlent::upload
