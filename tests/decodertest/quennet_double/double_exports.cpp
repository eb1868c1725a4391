// A scriptable stand-in for Quennet.dll: it records the arguments of its factories and plays
// the reports a test has written into its script (see double_script.h).
#include <windows.h>

#include <cstdio>
#include <string>

#include "double_files.h"
#include "double_http_request.h"
#include "double_script.h"
#include "double_task.h"

using namespace quennet_double;

namespace {

std::string Hex(const char* bytes, std::uint32_t length) {
  std::string hex;
  char pair[3];
  for (std::uint32_t i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned char>(bytes[i]));
    hex += pair;
  }
  return hex;
}

}  // namespace

extern "C" IQuennet* WINAPI CreateQuennet(const wchar_t* url, const wchar_t* downloadDir,
                                          const wchar_t* extractDir, std::int32_t value5,
                                          std::int32_t value0, IQuennetCallBack* callBack) {
  Record({"CreateQuennet", ToUtf8(url), ToUtf8(downloadDir), ToUtf8(extractDir),
          std::to_string(value5), std::to_string(value0), callBack ? "callback" : "no callback"});
  Script script = LoadScript();
  if (script.taskIsNull) return nullptr;
  return new DoubleTask(std::move(script.taskSteps), callBack);
}

extern "C" ISimpleHttpRequest* WINAPI CreateSimpleHttpRequest(
    const wchar_t* url, const wchar_t* verb, const wchar_t* agent, const wchar_t* headers,
    std::int32_t value10000, const char* body, std::uint32_t bodyLength) {
  Record({"CreateSimpleHttpRequest", ToUtf8(url), ToUtf8(verb), ToUtf8(agent), ToUtf8(headers),
          std::to_string(value10000), body != nullptr ? Hex(body, bodyLength) : "(null)",
          std::to_string(bodyLength)});
  const Script script = LoadScript();
  if (script.requestIsNull) return nullptr;
  return new DoubleHttpRequest(script);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    SetOwnModule(instance);
    Record({"Loaded"});
  } else if (reason == DLL_PROCESS_DETACH) {
    // A null `reserved` means FreeLibrary, as opposed to the end of the process.
    Record({"Unloaded", reserved == nullptr ? "by FreeLibrary" : "at process exit"});
  }
  return TRUE;
}
