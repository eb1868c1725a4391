// The DLL's two factories. Both are stdcall; quennet.def exports them under their plain names.
#include <new>

#include "net/winhttp_platform.h"
#include "quennet.h"
#include "request/simple_http_request.h"
#include "task/quennet_task.h"

extern "C" IQuennet* WINAPI CreateQuennet(
    const wchar_t* url, const wchar_t* downloadDir, const wchar_t* extractDir,
    std::int32_t attempts, std::int32_t flags, IQuennetCallBack* callBack) {
  quennet::PinWinHttp();
  quennet::TaskArguments arguments;
  arguments.url = url;
  arguments.downloadDir = downloadDir;
  arguments.extractDir = extractDir;
  arguments.attempts = attempts;
  arguments.flags = flags;
  arguments.callBack = callBack;
  try {
    return new quennet::QuennetTask(arguments);
  } catch (...) {
    return nullptr;  // no exception crosses the export
  }
}

extern "C" ISimpleHttpRequest* WINAPI CreateSimpleHttpRequest(
    const wchar_t* url, const wchar_t* verb, const wchar_t* agent, const wchar_t* headers,
    std::int32_t timeoutMs, const char* body, std::uint32_t bodyLength) {
  quennet::PinWinHttp();
  quennet::RequestArguments arguments;
  arguments.url = url;
  arguments.verb = verb;
  arguments.agent = agent;
  arguments.headers = headers;
  arguments.timeoutMs = timeoutMs;
  arguments.body = body;
  arguments.bodyLength = bodyLength;
  try {
    return new quennet::SimpleHttpRequest(arguments);
  } catch (...) {
    return nullptr;
  }
}
