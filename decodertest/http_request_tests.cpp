#include "http_request_tests.h"

#include <iostream>

#include "console_pause.h"
#include "library_exports.h"
#include "library_holders.h"
#include "quennet.h"

const std::wstring kUpgradeRequestUrl =
    L"https://upgrade.palomine.example/PalomineMultipleAppUpgrade";
const std::wstring kUpgradeRequestHeaders = L"Referer: https://www.palomine.example\r\n";
// The runs of spaces are part of the request as the service has always received it.
const std::string kUpgradeRequestBody =
    std::string("{\"Cmd\":\"GetPalomineMulAppUpgradeStrategy\",\"Version\":1,") +
    std::string(35, ' ') + "\"BackString\":\"WinHttpRequestPost\",\"UserID\":\"10482265\"," +
    std::string(35, ' ') +
    "\"MsgBody\":{\"PalomineVersion\":31111,\"OsType\":\"10.0.19041.1466\"," +
    "\"Seq\":\"3f9a6c2e8b7d41f09e5a2c7b4d8e1f60\"," + std::string(35, ' ') +
    "\"Cpu\":\"\",\"PlatForm\":\"weiduan\"," + std::string(35, ' ') +
    "\"GameInfo\":[{\"AppVersion\":31111,\"AppID\":1000,\"ExpectMinVersion\":0,\"Tag\":\"\"}]}}";

namespace {

void ReportOutcome(ISimpleHttpRequest* request) {
  if (request->IsSuccess()) {
    std::wcout << L"请求成功！" << std::endl;
    std::cout << "Response Code:" << request->GetResponseCode() << std::endl;
    const char* response = request->GetResponse(0);
    std::cout << "Response:" << (response != nullptr ? response : "") << std::endl;
  } else {
    std::wcout << L"请求失败！" << std::endl;
    std::wcout << L"Error Code:" << request->GetErrorCode() << std::endl;
    const wchar_t* errorText = request->GetErrorText();
    std::wcout << L"Error Text:" << (errorText != nullptr ? errorText : L"") << std::endl;
  }
}

// Null, after a line saying so, when the library cannot give a request object.
ISimpleHttpRequest* CreateUpgradeRequest(HINSTANCE hLibrary) {
  const auto create =
      FindExport<CreateSimpleHttpRequestFn>(hLibrary, kCreateSimpleHttpRequestExport);
  if (create == nullptr) {
    std::wcout << L"Quennet.dll中找不到CreateSimpleHttpRequest！" << std::endl;
    return nullptr;
  }
  ISimpleHttpRequest* request = create(
      kUpgradeRequestUrl.c_str(), L"POST", L"Palomine", kUpgradeRequestHeaders.c_str(), 10000,
      kUpgradeRequestBody.data(), static_cast<std::uint32_t>(kUpgradeRequestBody.size()));
  if (request == nullptr) std::wcout << L"CreateSimpleHttpRequest未返回请求对象！" << std::endl;
  return request;
}

}  // namespace

void TestHttpRequestAsync(HINSTANCE hLibrary) {
  class HttpRequestCallBack final : public IHttpRequestCallBack {
   public:
    void OnRequestComplete(ISimpleHttpRequest* pRequest) override {
      ReportOutcome(pRequest);
      PauseForKey();
      ::PostQuitMessage(0);
    }
  };

  // Declared before the request's holder, so that it is deleted after the request's release.
  CallBackHolder<HttpRequestCallBack> pHttpRequestCallBack(new HttpRequestCallBack);
  LibraryObjectHolder<ISimpleHttpRequest> pSimpleHttpRequest(CreateUpgradeRequest(hLibrary));
  if (!pSimpleHttpRequest) return;
  pSimpleHttpRequest->Send(pHttpRequestCallBack.get());

  MSG msg;
  // GetMessageW's -1 (a failed call) must end the loop too, not spin it.
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
}

void TestHttpRequestSync(HINSTANCE hLibrary) {
  LibraryObjectHolder<ISimpleHttpRequest> pSimpleHttpRequest(CreateUpgradeRequest(hLibrary));
  if (!pSimpleHttpRequest) return;
  pSimpleHttpRequest->Send(nullptr);
  ReportOutcome(pSimpleHttpRequest.get());
}
