#include "request/simple_http_request.h"

#include <cstdio>

#include "net/http_exchange.h"
#include "net/winhttp_platform.h"
#include "text/utf.h"
#include "win/error_text.h"

namespace quennet {
namespace {

constexpr UINT kCompletionMessage = WM_APP + 0x51;
constexpr UINT kDestroyMessage = WM_APP + 0x52;
// A reply larger than this is not what a simple request is for; refusing it bounds memory.
constexpr std::size_t kLargestResponse = 64u * 1024 * 1024;

}  // namespace

SimpleHttpRequest::SimpleHttpRequest(const RequestArguments& arguments) {
  if (arguments.url != nullptr) url_ = arguments.url;
  verb_ = arguments.verb != nullptr && arguments.verb[0] != L'\0' ? arguments.verb : L"GET";
  agent_ = arguments.agent != nullptr ? arguments.agent : L"";
  if (arguments.headers != nullptr) headers_ = arguments.headers;
  if (arguments.body != nullptr && arguments.bodyLength > 0)
    body_.assign(arguments.body, arguments.bodyLength);
  timeoutMs_ = arguments.timeoutMs > 0 ? static_cast<DWORD>(arguments.timeoutMs) : 30000;
}

void SimpleHttpRequest::Fail(std::uint32_t code, std::wstring text) {
  success_ = false;
  errorCode_ = code;
  errorText_ = std::move(text);
}

const char* SimpleHttpRequest::GetResponse(std::int32_t part) {
  if (part == QUENNET_RESPONSE_BODY) return response_.c_str();
  if (part == QUENNET_RESPONSE_HEADERS) return responseHeaders_.c_str();
  return "";
}

void SimpleHttpRequest::Perform() {
  Url url;
  if (!ParseUrl(url_, &url)) {
    Fail(ERROR_WINHTTP_INVALID_URL, L"网址无法识别或不是 http/https 网址：" + url_);
    return;
  }
  NetTimeouts timeouts;
  timeouts.resolveMs = timeouts.connectMs = timeouts.sendMs = timeouts.receiveMs = timeoutMs_;
  win::UniqueWinHttpHandle session = OpenSession(agent_.c_str(), timeouts);
  if (!session) {
    const DWORD error = ::GetLastError();
    Fail(error, WinHttpFailure(L"WinHttpOpen", error, url_).outcome.text);
    return;
  }
  HttpExchange exchange(session.get(), timeouts);
  NetResult sent = exchange.Open(url, verb_.c_str(), headers_, body_.empty() ? nullptr : body_.data(),
                                 static_cast<DWORD>(body_.size()));
  if (!sent.ok()) {
    Fail(sent.systemError != 0 ? sent.systemError : ERROR_WINHTTP_REDIRECT_FAILED, sent.outcome.text);
    return;
  }
  responseCode_ = exchange.Status();
  responseHeaders_ = text::WideToUtf8(exchange.RawHeaders());
  char buffer[16384];
  for (;;) {
    DWORD got = 0;
    NetResult read = exchange.Read(buffer, sizeof(buffer), &got);
    if (!read.ok()) {
      Fail(read.systemError, read.outcome.text);
      return;
    }
    if (got == 0) break;
    if (response_.size() + got > kLargestResponse) {
      Fail(ERROR_NOT_ENOUGH_MEMORY, L"回应超过 64 MB，已放弃：" + url_);
      return;
    }
    response_.append(buffer, got);
  }
  if (responseCode_ >= 200 && responseCode_ < 300) {
    success_ = true;
    errorCode_ = 0;
    errorText_.clear();
  } else {
    Fail(responseCode_, L"服务器返回 " + DescribeStatus(exchange) + L"：" + exchange.FinalUrl().text);
  }
}

int SimpleHttpRequest::Send(IHttpRequestCallBack* callBack) {
  if (inFlight_.exchange(true)) return 0;
  worker_.Join();
  success_ = false;
  errorCode_ = 0;
  errorText_.clear();
  responseCode_ = 0;
  response_.clear();
  responseHeaders_.clear();
  if (callBack == nullptr) {
    Perform();
    inFlight_ = false;
    return 1;
  }
  callBack_ = callBack;
  if (!CreateWindowForCompletion()) {
    // Without a window the report cannot wait for the loop; it is given before Send returns.
    const DWORD error = ::GetLastError();
    Fail(error, L"无法创建接收完成通知的窗口（" + win::CallFailed(L"CreateWindowExW", error) + L"）");
    DeliverCompletion();
    return 1;
  }
  const HWND window = window_.get();
  if (!worker_.Start([this, window] {
        Perform();
        ::PostMessageW(window, kCompletionMessage, 0, 0);
      })) {
    Fail(::GetLastError(), L"无法启动请求线程（" + win::CallFailed(L"CreateThread") + L"）");
    DeliverCompletion();
  }
  return 1;
}

bool SimpleHttpRequest::CreateWindowForCompletion() {
  if (!windowClass_) {
    wchar_t name[64];
    std::swprintf(name, 64, L"QuennetHttpRequest.%p", static_cast<void*>(this));
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &SimpleHttpRequest::WindowProc;
    windowClass.hInstance = ThisModule();
    windowClass.lpszClassName = name;
    windowClass_.reset(::RegisterClassExW(&windowClass));
    if (!windowClass_) return false;
  }
  window_.reset(::CreateWindowExW(0, reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(windowClass_.get())),
                                  L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, ThisModule(), nullptr));
  if (!window_) return false;
  ::SetWindowLongPtrW(window_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  windowThread_ = ::GetCurrentThreadId();
  return true;
}

LRESULT CALLBACK SimpleHttpRequest::WindowProc(HWND window, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
  auto* self = reinterpret_cast<SimpleHttpRequest*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self != nullptr && message == kCompletionMessage) {
    self->DeliverCompletion();
    return 0;
  }
  if (message == kDestroyMessage) {
    ::DestroyWindow(window);
    return 0;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

void SimpleHttpRequest::DeliverCompletion() {
  worker_.Join();
  window_.reset();
  IHttpRequestCallBack* callBack = callBack_;
  callBack_ = nullptr;
  inFlight_ = false;
  // The callback may release this object: nothing of it is touched afterwards.
  callBack->OnRequestComplete(this);
}

void SimpleHttpRequest::DestroyCompletionWindow() {
  if (!window_) return;
  if (windowThread_ == ::GetCurrentThreadId()) {
    window_.reset();
  } else {
    // A window can only be destroyed by its own thread, which does so when it next reads its
    // messages (or the system does when that thread ends).
    ::SendMessageW(window_.release(), kDestroyMessage, 0, 0);
  }
}

void SimpleHttpRequest::Release() {
  worker_.Join();
  DestroyCompletionWindow();
  windowClass_.reset();
  delete this;
}

}  // namespace quennet
