// The double's HTTP request: Send with a callback reports through the sending thread's message
// loop (a thread timer that only DispatchMessage runs); Send without one blocks until the
// scripted outcome is known.
#pragma once

#include <windows.h>

#include "double_script.h"
#include "quennet.h"

namespace quennet_double {

class DoubleHttpRequest final : public ISimpleHttpRequest {
 public:
  explicit DoubleHttpRequest(const Script& script) : script_(script) {}

  void Release() override;
  int Send(IHttpRequestCallBack* callBack) override;
  bool IsSuccess() override;
  std::uint32_t GetErrorCode() override;
  const wchar_t* GetErrorText() override;
  std::uint32_t GetResponseCode() override;
  void Reserved6() override {}
  const char* GetResponse(std::int32_t which) override;

 private:
  ~DoubleHttpRequest() = default;
  static void CALLBACK OnTimer(HWND, UINT, UINT_PTR timer, DWORD);
  void Complete();

  const Script script_;
  IHttpRequestCallBack* callBack_ = nullptr;
  void* callBackTable_ = nullptr;
  DWORD sendingThread_ = 0;
  bool ended_ = false;
};

}  // namespace quennet_double
