#include "double_http_request.h"

#include "double_files.h"

namespace quennet_double {
namespace {

// The request whose outcome the thread timer delivers; one at a time is all the tests need.
DoubleHttpRequest* pendingRequest = nullptr;

}  // namespace

void DoubleHttpRequest::Release() {
  const bool callBackAlive =
      callBack_ == nullptr || *reinterpret_cast<void* const*>(callBack_) == callBackTable_;
  Record({"Release request", callBackAlive ? "callback alive" : "callback gone"});
  delete this;
}

int DoubleHttpRequest::Send(IHttpRequestCallBack* callBack) {
  Record({"Send", callBack != nullptr ? "callback" : "no callback"});
  if (callBack == nullptr) {
    ::Sleep(script_.requestDelayMs);
    ended_ = true;
    return 1;
  }
  callBack_ = callBack;
  callBackTable_ = *reinterpret_cast<void* const*>(callBack);
  sendingThread_ = ::GetCurrentThreadId();
  pendingRequest = this;
  ::SetTimer(nullptr, 0, script_.requestDelayMs, &DoubleHttpRequest::OnTimer);
  return 1;
}

void CALLBACK DoubleHttpRequest::OnTimer(HWND, UINT, UINT_PTR timer, DWORD) {
  ::KillTimer(nullptr, timer);
  DoubleHttpRequest* request = pendingRequest;
  pendingRequest = nullptr;
  if (request != nullptr) request->Complete();
}

void DoubleHttpRequest::Complete() {
  ended_ = true;
  const bool onSendingThread = ::GetCurrentThreadId() == sendingThread_;
  callBack_->OnRequestComplete(this);
  // Looked at, not taken: the console's own loop must still receive it.
  MSG msg;
  const bool quitPosted = ::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) != 0;
  Record({"OnRequestComplete returned", onSendingThread ? "sending thread" : "other thread",
          quitPosted ? "quit posted" : "no quit"});
}

bool DoubleHttpRequest::IsSuccess() {
  Record({"IsSuccess", ended_ ? "after end" : "before end"});
  return script_.requestSucceeds;
}

std::uint32_t DoubleHttpRequest::GetErrorCode() {
  return script_.requestSucceeds ? 0 : script_.requestCode;
}

const wchar_t* DoubleHttpRequest::GetErrorText() {
  return script_.requestNullTexts ? nullptr : script_.errorText.c_str();
}

std::uint32_t DoubleHttpRequest::GetResponseCode() {
  return script_.requestSucceeds ? script_.requestCode : 0;
}

const char* DoubleHttpRequest::GetResponse(std::int32_t which) {
  Record({"GetResponse", std::to_string(which)});
  return script_.requestNullTexts ? nullptr : script_.response.c_str();
}

}  // namespace quennet_double
