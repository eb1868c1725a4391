#include "upload/winhttp_transport.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "text/utf.h"
#include "upload/request_deadline.h"
#include "win/winhttp_error_text.h"
#include "win/winhttp_handle.h"

namespace orlent::upload {
namespace {

std::string WinHttpFailed(const wchar_t* call) {
  return text::WideToUtf8(win::WinHttpCallFailed(call));
}

HttpResponse Failure(const wchar_t* call) {
  HttpResponse response;
  response.error = WinHttpFailed(call);
  return response;
}

std::string TimedOutText(const HttpRequest& request, const char* waiting) {
  return "timed out: the time limit ran out (" + std::to_string(request.timeoutMs) +
         " ms left for this request) while " + waiting;
}

// A call that failed because the deadline closed the request says so, not "invalid handle".
HttpResponse Failure(RequestDeadline* call, const HttpRequest& request, const wchar_t* name,
                     const char* waiting) {
  HttpResponse response = Failure(name);
  if (call->expired()) response.error = TimedOutText(request, waiting);
  return response;
}

std::wstring Header(const HINTERNET request, DWORD which) {
  DWORD bytes = 0;
  ::WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &bytes,
                        WINHTTP_NO_HEADER_INDEX);
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) return L"";
  std::vector<wchar_t> value(bytes / sizeof(wchar_t) + 1);
  if (!::WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &bytes,
                             WINHTTP_NO_HEADER_INDEX))
    return L"";
  return std::wstring(value.data(), bytes / sizeof(wchar_t));
}

// What the request's thread has learnt so far: a caller that stops waiting at the deadline
// takes it as it is.
struct Exchange {
  std::mutex lock;
  HttpResponse response;
  bool finished = false;
  void Publish(const HttpResponse& now, bool done) {
    std::lock_guard<std::mutex> guard(lock);
    response = now;
    finished = done;
  }
};

HttpResponse PostNow(const HttpRequest& request, Exchange* exchange) {
  const std::wstring url = text::Utf8ToWide(request.url.c_str());
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = 1;
  if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return Failure(L"WinHttpCrackUrl");
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) path = L"/";
  const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

  win::UniqueWinHttpHandle session(::WinHttpOpen(L"orlent", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                                 WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                                 0));
  if (!session) return Failure(L"WinHttpOpen");
  const int timeout = static_cast<int>(std::clamp<int64_t>(request.timeoutMs, 1000, 3600 * 1000));
  // Wine bounds a silent server only with the option; Windows honours both.
  ::WinHttpSetTimeouts(session.get(), timeout, timeout, timeout, timeout);
  win::UniqueWinHttpHandle connection(
      ::WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  if (!connection) return Failure(L"WinHttpConnect");
  const HINTERNET opened = ::WinHttpOpenRequest(
      connection.get(), L"POST", path.c_str(), nullptr, WINHTTP_NO_REFERER,
      WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0);
  if (opened == nullptr) return Failure(L"WinHttpOpenRequest");
  // Closed before the connection and the session, at the deadline or on the way out.
  RequestDeadline call(opened, request.timeoutMs);
  DWORD receiveTimeout = static_cast<DWORD>(timeout);
  ::WinHttpSetOption(call.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receiveTimeout,
                     sizeof receiveTimeout);

  std::wstring headers;
  for (const auto& [name, value] : request.headers)
    headers += text::Utf8ToWide(name.c_str()) + L": " + text::Utf8ToWide(value.c_str()) + L"\r\n";
  // The whole body goes with the request and its length: WinHTTP then sends Content-Length
  // and never a chunked body, which not every collector takes.
  const DWORD length = static_cast<DWORD>(request.body.size());
  if (!::WinHttpSendRequest(call.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                            const_cast<char*>(request.body.data()), length, length, 0))
    return Failure(&call, request, L"WinHttpSendRequest", "sending the report");
  if (!::WinHttpReceiveResponse(call.get(), nullptr))
    return Failure(&call, request, L"WinHttpReceiveResponse", "waiting for the answer");

  HttpResponse response;
  DWORD status = 0, statusSize = sizeof status;
  if (!::WinHttpQueryHeaders(call.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                             WINHTTP_NO_HEADER_INDEX))
    return Failure(&call, request, L"WinHttpQueryHeaders", "reading the answer's status");
  response.retryAfter = text::WideToUtf8(Header(call.get(), WINHTTP_QUERY_RETRY_AFTER));
  response.status = static_cast<int>(status);
  exchange->Publish(response, false);
  char buffer[8192];
  for (;;) {
    // Only what has arrived: a read for a whole buffer would wait for bytes a trickling
    // collector has not sent, and the deadline would find nothing of what it had.
    DWORD available = 0, read = 0;
    if (!::WinHttpQueryDataAvailable(call.get(), &available) ||
        (available != 0 &&
         !::WinHttpReadData(call.get(), buffer, std::min<DWORD>(available, sizeof buffer), &read))) {
      // The status is what counts; an answer cut short is kept as far as it came.
      response.error = call.expired() ? TimedOutText(request, "reading the answer")
                                      : WinHttpFailed(L"WinHttpReadData");
      break;
    }
    if (available == 0 || read == 0) break;
    response.body.append(buffer, std::min<size_t>(read, kMaxAnswerBytes - response.body.size()));
    exchange->Publish(response, false);
    if (response.body.size() >= kMaxAnswerBytes) break;
  }
  return response;
}

}  // namespace

// The request runs on a thread of its own and the caller waits for it until the deadline.
// Closing the request handle there (RequestDeadline) ends a blocked WinHTTP call on Windows;
// Wine finishes the blocked call first, so a collector that trickles a byte a second would
// still hold the caller: it stops waiting instead, takes what was learnt, and leaves the
// thread to end with the process.
HttpResponse WinHttpTransport::Post(const HttpRequest& request) {
  constexpr DWORD kGraceMs = 500;  // for the closed handle to end the call where it does
  auto exchange = std::make_shared<Exchange>();
  win::UniqueKernelHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!done) return PostNow(request, exchange.get());
  auto shared = std::make_shared<win::UniqueKernelHandle>(std::move(done));
  std::thread([request, exchange, shared] {
    const HttpResponse response = PostNow(request, exchange.get());
    exchange->Publish(response, true);
    ::SetEvent(shared->get());
  }).detach();
  const DWORD wait = static_cast<DWORD>(std::clamp<int64_t>(request.timeoutMs, 0, 24 * 3600 * 1000));
  ::WaitForSingleObject(shared->get(), wait + kGraceMs);
  std::lock_guard<std::mutex> guard(exchange->lock);
  HttpResponse response = exchange->response;
  if (!exchange->finished) {
    const char* waiting = response.status == 0 ? "waiting for the answer" : "reading the answer";
    response.error = TimedOutText(request, waiting);
  }
  return response;
}

}  // namespace orlent::upload
