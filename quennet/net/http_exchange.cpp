#include "net/http_exchange.h"

#include <vector>

#include "quennet.h"

namespace quennet {
namespace {

bool IsRedirect(DWORD status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

NetResult HttpExchange::Open(const Url& url, const wchar_t* verb, const std::wstring& headers,
                             const void* body, DWORD bodyLength) {
  Url current = url;
  std::wstring currentVerb = verb;
  for (int hop = 0;; ++hop) {
    NetResult sent = SendOnce(current, currentVerb.c_str(), headers, body, bodyLength);
    if (!sent.ok()) return sent;
    if (!IsRedirect(status_)) return sent;
    const std::wstring location = Header(L"Location");
    if (location.empty()) return sent;
    if (hop >= 10)
      return NetResult::Fail(QUENNET_E_HTTP_STATUS,
                             L"重定向次数过多（超过 10 次），最后一个网址：" + current.text, false);
    Url next;
    if (!ParseUrl(ResolveLocation(current, location), &next))
      return NetResult::Fail(QUENNET_E_BAD_URL,
                             L"服务器重定向到无法识别的网址：" + location + L"（来自 " +
                                 current.text + L"）",
                             false);
    if (current.secure && !next.secure)
      return NetResult::Fail(QUENNET_E_INSECURE_REDIRECT,
                             L"拒绝从 HTTPS 重定向到不安全的 HTTP：" + current.text + L" -> " +
                                 next.text,
                             false);
    // A 303 turns any request into a GET without a body, as browsers do.
    if (status_ == 303) {
      currentVerb = L"GET";
      body = nullptr;
      bodyLength = 0;
    }
    current = std::move(next);
  }
}

NetResult HttpExchange::SendOnce(const Url& url, const wchar_t* verb, const std::wstring& headers,
                                 const void* body, DWORD bodyLength) {
  CloseRequest();
  status_ = 0;
  url_ = url;
  if (!connection_ || !connectedTo_.SameOrigin(url)) {
    connection_.reset(::WinHttpConnect(session_, url.host.c_str(), url.port, 0));
    if (!connection_) return WinHttpFailure(L"WinHttpConnect", ::GetLastError(), url.text);
    connectedTo_ = url;
  }
  request_.reset(::WinHttpOpenRequest(connection_.get(), verb, url.pathAndQuery.c_str(), nullptr,
                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                      url.secure ? WINHTTP_FLAG_SECURE : 0));
  if (!request_) return WinHttpFailure(L"WinHttpOpenRequest", ::GetLastError(), url.text);
  if (canceller_ != nullptr && !canceller_->Publish(request_.get()))
    return WinHttpFailure(L"WinHttpSendRequest", ERROR_WINHTTP_OPERATION_CANCELLED, url.text);
  PrepareRequest(request_.get(), timeouts_, /*followRedirects=*/false);
  if (!::WinHttpSendRequest(request_.get(),
                            headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                            headers.empty() ? 0 : static_cast<DWORD>(-1),
                            const_cast<void*>(body), bodyLength, bodyLength, 0))
    return WinHttpFailure(L"WinHttpSendRequest", ::GetLastError(), url.text);
  if (!::WinHttpReceiveResponse(request_.get(), nullptr))
    return WinHttpFailure(L"WinHttpReceiveResponse", ::GetLastError(), url.text);
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!::WinHttpQueryHeaders(request_.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
    return WinHttpFailure(L"WinHttpQueryHeaders", ::GetLastError(), url.text);
  status_ = status;
  return NetResult::Ok();
}

void HttpExchange::CloseRequest() {
  if (!request_) return;
  if (canceller_ != nullptr && !canceller_->Withdraw(request_.get())) {
    request_.release();  // closed by the canceller already
    return;
  }
  request_.reset();
}

std::wstring HttpExchange::Query(DWORD info, const wchar_t* name) const {
  if (!request_) return {};
  DWORD size = 0;
  ::WinHttpQueryHeaders(request_.get(), info, name, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return {};
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1);
  if (!::WinHttpQueryHeaders(request_.get(), info, name, buffer.data(), &size,
                             WINHTTP_NO_HEADER_INDEX))
    return {};
  return std::wstring(buffer.data(), size / sizeof(wchar_t));
}

std::wstring HttpExchange::Header(const wchar_t* name) const {
  return Query(WINHTTP_QUERY_CUSTOM, name);
}

std::wstring HttpExchange::StatusText() const {
  return Query(WINHTTP_QUERY_STATUS_TEXT, WINHTTP_HEADER_NAME_BY_INDEX);
}

std::wstring HttpExchange::RawHeaders() const {
  return Query(WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX);
}

bool HttpExchange::ContentLength(std::uint64_t* length) const {
  const std::wstring text = Header(L"Content-Length");
  if (text.empty() || text.find_first_not_of(L"0123456789") != std::wstring::npos) return false;
  *length = std::wcstoull(text.c_str(), nullptr, 10);
  return true;
}

NetResult HttpExchange::Read(void* buffer, DWORD size, DWORD* got) {
  *got = 0;
  if (!::WinHttpReadData(request_.get(), buffer, size, got))
    return WinHttpFailure(L"WinHttpReadData", ::GetLastError(), url_.text);
  return NetResult::Ok();
}

std::wstring DescribeStatus(const HttpExchange& exchange) {
  std::wstring text = L"HTTP " + std::to_wstring(exchange.Status());
  const std::wstring reason = exchange.StatusText();
  if (!reason.empty()) text += L"（" + reason + L"）";
  return text;
}

}  // namespace quennet
