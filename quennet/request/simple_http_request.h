// ISimpleHttpRequest: one HTTP request with a body, sent synchronously or with a completion
// report delivered through the sending thread's message queue.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "quennet.h"
#include "request/window_owners.h"
#include "sync/win_sync.h"

namespace quennet {

struct RequestArguments {
  const wchar_t* url = nullptr;
  const wchar_t* verb = nullptr;
  const wchar_t* agent = nullptr;
  const wchar_t* headers = nullptr;
  std::int32_t timeoutMs = 0;
  const char* body = nullptr;
  std::uint32_t bodyLength = 0;
};

class SimpleHttpRequest final : public ISimpleHttpRequest {
 public:
  explicit SimpleHttpRequest(const RequestArguments& arguments);

  void Release() override;
  int Send(IHttpRequestCallBack* callBack) override;
  bool IsSuccess() override { return success_; }
  std::uint32_t GetErrorCode() override { return errorCode_; }
  const wchar_t* GetErrorText() override { return errorText_.c_str(); }
  std::uint32_t GetResponseCode() override { return responseCode_; }
  void Reserved6() override {}
  const char* GetResponse(std::int32_t part) override;

 private:
  ~SimpleHttpRequest() = default;
  void Perform();  // the whole exchange; fills the results
  void Fail(std::uint32_t code, std::wstring text);
  bool CreateWindowForCompletion();
  void DestroyCompletionWindow();
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void DeliverCompletion();

  std::wstring url_, verb_, agent_, headers_;
  std::string body_;
  DWORD timeoutMs_;

  std::atomic<bool> inFlight_{false};
  bool success_ = false;
  std::uint32_t errorCode_ = 0;
  std::wstring errorText_;
  std::uint32_t responseCode_ = 0;
  std::string response_;
  std::string responseHeaders_;

  IHttpRequestCallBack* callBack_ = nullptr;
  WorkerThread worker_;
  UniqueWindowClass windowClass_;
  UniqueWindow window_;
  DWORD windowThread_ = 0;
};

}  // namespace quennet
