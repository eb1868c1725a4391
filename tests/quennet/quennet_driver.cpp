// Drives the real Quennet.dll, loaded by path, for the process-level tests: runs one task or
// one HTTP request from its command line and prints what the library reports as JSON lines.
//
//   quennet_driver DLL task URL|-null DOWNLOAD_DIR|-null EXTRACT_DIR|-null ATTEMPTS FLAGS
//                  [restarts=N] [release_at=BYTES | release_after_ms=N] [linger_ms=N]
//                  [null_callback=1]
//   quennet_driver DLL request URL VERB BODY|-none [async=1] [timeout_ms=N] [headers=TEXT]
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "json_string.h"
#include "quennet.h"

namespace {

std::string Json(const wchar_t* text) { return JsonString(text != nullptr ? text : L""); }

std::string Json(const char* text) {
  std::wstring wide;
  for (; text != nullptr && *text != 0; ++text) wide += static_cast<wchar_t>(static_cast<unsigned char>(*text));
  return Json(wide.c_str());
}

void Emit(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

ULONGLONG Now() { return ::GetTickCount64(); }

const wchar_t* Argument(const wchar_t* text) { return wcscmp(text, L"-null") == 0 ? nullptr : text; }

std::map<std::wstring, std::wstring> Options(int argc, wchar_t** argv, int first) {
  std::map<std::wstring, std::wstring> options;
  for (int i = first; i < argc; ++i) {
    const std::wstring item = argv[i];
    const size_t equals = item.find(L'=');
    if (equals != std::wstring::npos) options[item.substr(0, equals)] = item.substr(equals + 1);
  }
  return options;
}

unsigned long long Number(const std::map<std::wstring, std::wstring>& options, const wchar_t* name,
                          unsigned long long fallback) {
  auto found = options.find(name);
  return found == options.end() ? fallback : std::wcstoull(found->second.c_str(), nullptr, 10);
}

// Checks the library's promises about reports as they arrive: one at a time, none after
// Release has returned, progress that never goes backwards within an attempt.
class Recorder : public IQuennetCallBack {
 public:
  int restartsLeft = 0;
  unsigned long long releaseAt = 0;
  HANDLE releaseNow = nullptr;
  std::atomic<bool> released{false};

  void OnProgress(std::int32_t, std::uint64_t total, std::uint64_t downloaded, std::uint64_t speed,
                  std::uint32_t files, std::uint32_t extracted, std::int32_t) override {
    Enter();
    if (downloaded < lastDownloaded_) Emit("{\"event\":\"violation\",\"what\":\"progress went backwards\"}");
    lastDownloaded_ = downloaded;
    char line[256];
    std::snprintf(line, sizeof(line),
                  "{\"event\":\"progress\",\"total\":%llu,\"downloaded\":%llu,\"speed\":%llu,"
                  "\"files\":%u,\"extracted\":%u,\"ms\":%llu}",
                  static_cast<unsigned long long>(total), static_cast<unsigned long long>(downloaded),
                  static_cast<unsigned long long>(speed), files, extracted, Now());
    Emit(line);
    if (releaseAt != 0 && downloaded >= releaseAt) ::SetEvent(releaseNow);
    Leave();
  }

  void OnComplete(IQuennet* task, std::int32_t code, const wchar_t* text) override {
    Enter();
    lastDownloaded_ = 0;
    char head[160];
    std::snprintf(head, sizeof(head), "{\"event\":\"complete\",\"code\":%d,\"thread\":%lu,\"text\":",
                  static_cast<int>(code), ::GetCurrentThreadId());
    Emit(std::string(head) + Json(text) + "}");
    if (code != 0 && restartsLeft > 0) {
      --restartsLeft;
      Emit("{\"event\":\"restart\",\"started\":" + std::to_string(task->Start()) + "}");
    }
    Leave();
  }

 private:
  void Enter() {
    if (released) Emit("{\"event\":\"violation\",\"what\":\"report after Release\"}");
    if (inside_.exchange(true)) Emit("{\"event\":\"violation\",\"what\":\"two reports at once\"}");
  }
  void Leave() { inside_ = false; }

  std::atomic<bool> inside_{false};
  std::uint64_t lastDownloaded_ = 0;
};

int RunTask(HMODULE library, int argc, wchar_t** argv) {
  if (argc < 8) return 2;
  auto create = reinterpret_cast<CreateQuennetFn>(reinterpret_cast<void*>(::GetProcAddress(library, kCreateQuennetExport)));
  const auto options = Options(argc, argv, 8);
  Recorder recorder;
  recorder.restartsLeft = static_cast<int>(Number(options, L"restarts", 0));
  recorder.releaseAt = Number(options, L"release_at", 0);
  recorder.releaseNow = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const bool nullCallback = Number(options, L"null_callback", 0) != 0;
  IQuennet* task = create(Argument(argv[3]), Argument(argv[4]), Argument(argv[5]),
                          static_cast<std::int32_t>(_wtoi(argv[6])), static_cast<std::int32_t>(_wtoi(argv[7])),
                          nullCallback ? nullptr : &recorder);
  if (task == nullptr) {
    Emit("{\"event\":\"no_task\"}");
    return 3;
  }
  Emit("{\"event\":\"started\",\"result\":" + std::to_string(task->Start()) +
       ",\"main_thread\":" + std::to_string(::GetCurrentThreadId()) + "}");
  const unsigned long long releaseAfterMs = Number(options, L"release_after_ms", 0);
  if (recorder.releaseAt != 0) {
    ::WaitForSingleObject(recorder.releaseNow, 120000);
  } else if (releaseAfterMs != 0) {
    ::Sleep(static_cast<DWORD>(releaseAfterMs));
  } else {
    Emit("{\"event\":\"wait\",\"code\":" + std::to_string(task->Wait()) + "}");
  }
  const ULONGLONG before = Now();
  task->Release();
  recorder.released = true;
  Emit("{\"event\":\"released\",\"ms\":" + std::to_string(Now() - before) + "}");
  ::FreeLibrary(library);
  ::Sleep(static_cast<DWORD>(Number(options, L"linger_ms", 0)));
  Emit("{\"event\":\"alive\"}");
  ::CloseHandle(recorder.releaseNow);
  return 0;
}

void ReportRequest(ISimpleHttpRequest* request, DWORD mainThread) {
  char head[200];
  std::snprintf(head, sizeof(head),
                "{\"event\":\"request_complete\",\"on_sending_thread\":%s,\"success\":%s,"
                "\"error_code\":%u,\"response_code\":%u,\"error_text\":",
                ::GetCurrentThreadId() == mainThread ? "true" : "false",
                request->IsSuccess() ? "true" : "false", request->GetErrorCode(),
                request->GetResponseCode());
  Emit(std::string(head) + Json(request->GetErrorText()) + ",\"body\":" + Json(request->GetResponse(0)) +
       ",\"headers\":" + Json(request->GetResponse(1)) + ",\"other_part\":" + Json(request->GetResponse(7)) + "}");
}

class RequestRecorder : public IHttpRequestCallBack {
 public:
  DWORD mainThread = 0;
  int calls = 0;
  void OnRequestComplete(ISimpleHttpRequest* request) override {
    ++calls;
    ReportRequest(request, mainThread);
    ::PostQuitMessage(0);
  }
};

int RunRequest(HMODULE library, int argc, wchar_t** argv) {
  if (argc < 6) return 2;
  auto create = reinterpret_cast<CreateSimpleHttpRequestFn>(reinterpret_cast<void*>(
      ::GetProcAddress(library, kCreateSimpleHttpRequestExport)));
  const auto options = Options(argc, argv, 6);
  std::string body;
  if (wcscmp(argv[5], L"-none") != 0)
    for (const wchar_t* c = argv[5]; *c != 0; ++c) body += static_cast<char>(*c);
  auto headers = options.find(L"headers");
  ISimpleHttpRequest* request =
      create(argv[3], argv[4], L"QuennetDriver", headers == options.end() ? nullptr : headers->second.c_str(),
             static_cast<std::int32_t>(Number(options, L"timeout_ms", 10000)), body.data(),
             static_cast<std::uint32_t>(body.size()));
  const DWORD mainThread = ::GetCurrentThreadId();
  const ULONGLONG before = Now();
  if (Number(options, L"async", 0) != 0) {
    RequestRecorder recorder;
    recorder.mainThread = mainThread;
    const int sent = request->Send(&recorder);
    Emit("{\"event\":\"sent\",\"result\":" + std::to_string(sent) + ",\"again\":" +
         std::to_string(request->Send(&recorder)) + ",\"ms\":" + std::to_string(Now() - before) + "}");
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    request->Release();
    Emit("{\"event\":\"calls\",\"count\":" + std::to_string(recorder.calls) + "}");
  } else {
    const int sent = request->Send(nullptr);
    Emit("{\"event\":\"sent\",\"result\":" + std::to_string(sent) + ",\"ms\":" + std::to_string(Now() - before) + "}");
    ReportRequest(request, mainThread);
    request->Release();
  }
  ::FreeLibrary(library);
  Emit("{\"event\":\"alive\"}");
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  HMODULE library = ::LoadLibraryW(argv[1]);
  if (library == nullptr) {
    Emit("{\"event\":\"load_failed\",\"error\":" + std::to_string(::GetLastError()) + "}");
    return 3;
  }
  if (wcscmp(argv[2], L"task") == 0) return RunTask(library, argc, argv);
  if (wcscmp(argv[2], L"request") == 0) return RunRequest(library, argc, argv);
  return 2;
}
