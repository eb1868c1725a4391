#include "net/net_result.h"

#include <winsock2.h>
#include <winhttp.h>

#include "quennet.h"
#include "win/winhttp_error_text.h"

namespace quennet {

namespace {

// Wine's WinHTTP passes some socket errors through unchanged where Windows gives its own codes
// (a read that timed out fails with WSAETIMEDOUT, 10060, instead of ERROR_WINHTTP_TIMEOUT).
DWORD AsWinHttpError(DWORD error) {
  switch (error) {
    case WSAETIMEDOUT:
      return ERROR_WINHTTP_TIMEOUT;
    case WSAECONNREFUSED:
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH:
      return ERROR_WINHTTP_CANNOT_CONNECT;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAESHUTDOWN:
      return ERROR_WINHTTP_CONNECTION_ERROR;
    default:
      return error;
  }
}

}  // namespace

NetResult WinHttpFailure(const wchar_t* call, DWORD error, const std::wstring& url) {
  error = AsWinHttpError(error);
  int code = QUENNET_E_INTERNAL;
  bool transient = false;
  const wchar_t* what = L"网络操作失败";
  switch (error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case ERROR_WINHTTP_CANNOT_CALL_BEFORE_SEND:
      code = QUENNET_E_UNREACHABLE;
      transient = true;
      what = L"无法连接到服务器";
      break;
    case ERROR_WINHTTP_TIMEOUT:
      code = QUENNET_E_STALLED;
      transient = true;
      what = L"服务器在限定时间内没有发送任何数据";
      break;
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
    case ERROR_WINHTTP_RESEND_REQUEST:
      code = QUENNET_E_CONNECTION_DROPPED;
      transient = true;
      what = L"连接在下载完成前中断";
      break;
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
      code = QUENNET_E_TLS;
      what = L"安全连接（TLS）建立失败或服务器证书未通过校验";
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      what = L"内存不足";
      break;
    default:
      break;
  }
  std::wstring text = std::wstring(what) + L"：" + url + L"（" + call + L" 失败：" +
                      win::WinHttpMessage(error) + L"，错误码 " + std::to_wstring(error) + L"）";
  NetResult result = NetResult::Fail(code, std::move(text), transient);
  result.systemError = error;
  return result;
}

}  // namespace quennet
