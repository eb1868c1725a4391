// A stand-in for orlent.exe that records what it was handed. Started by the crash path as
// "orlent /buginfo:EVENT:PROCESS:BLOCK:PID", it reads the block and what the block points at out
// of the crashed process through the inherited handles, writes key=value lines to
// %TEST_REPORTER_OUT%\report-PID.txt (renamed into place when complete), appends one line per
// start to %TEST_REPORTER_OUT%\starts.log, and sets the event.
// TEST_REPORTER_MODE=no-event exits without setting the event; TEST_REPORTER_DELAY_MS delays it.
// Started as a standby ("orlent /standby:..."), it is a reporter without standby support and
// exits at once, unless TEST_REPORTER_MODE names a broken standby: standby-silent never says
// it is ready; standby-dies says so, then ends at the fault without setting the done event.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "protocol/bug_info_block.h"
#include "protocol/hand_off_line.h"
#include "protocol/standby_line.h"

namespace {

std::wstring Env(const wchar_t* name) {
  wchar_t value[1024] = {};
  const DWORD length = ::GetEnvironmentVariableW(name, value, 1024);
  return length > 0 && length < 1024 ? value : L"";
}

class Report {
 public:
  void Add(const char* key, unsigned long value) {
    char line[128];
    std::snprintf(line, sizeof line, "%s=%lx\n", key, value);
    text_ += line;
  }
  void AddText(const char* key, const std::string& value) { text_ += key + ("=" + value) + "\n"; }
  void AddBytes(const char* key, const void* data, size_t size) {
    std::string hex;
    char pair[3];
    for (size_t i = 0; i < size; ++i) {
      std::snprintf(pair, sizeof pair, "%02x", static_cast<const unsigned char*>(data)[i]);
      hex += pair;
    }
    AddText(key, hex);
  }
  bool WriteTo(const std::wstring& path) const {
    const std::wstring partial = path + L".partial";
    FILE* file = _wfopen(partial.c_str(), L"wb");
    if (file == nullptr) return false;
    std::fwrite(text_.data(), 1, text_.size(), file);
    std::fclose(file);
    return ::MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
  }

 private:
  std::string text_;
};

std::string Narrow(const std::wstring& text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string narrow(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, narrow.data(), size, nullptr, nullptr);
  return narrow;
}

bool Read(HANDLE process, uintptr_t address, void* buffer, size_t size) {
  SIZE_T read = 0;
  return ::ReadProcessMemory(process, reinterpret_cast<const void*>(address), buffer, size, &read) &&
         read == size;
}

}  // namespace

// The standby modes: each ends without a report, so that the host has to start a reporter
// itself. Each start is logged to standby.log.
int BrokenStandby(const std::wstring& mode) {
  std::wstring error;
  const auto standby = vessick::ParseStandbyCommandLine(::GetCommandLineW(), &error);
  if (!standby) return 3;
  const std::wstring outDir = Env(L"TEST_REPORTER_OUT");
  if (FILE* log = _wfopen((outDir + L"\\standby.log").c_str(), L"ab")) {
    std::fprintf(log, "%ls\n", mode.c_str());
    std::fclose(log);
  }
  if (mode == L"standby-silent") {
    ::WaitForSingleObject(standby->process, INFINITE);
    return 0;
  }
  ::SetEvent(standby->ready);
  const HANDLE waitFor[] = {standby->crash, standby->process};
  ::WaitForMultipleObjects(2, waitFor, FALSE, INFINITE);
  return 4;
}

int wmain() {
  const std::wstring commandLine = ::GetCommandLineW();
  const std::wstring mode = Env(L"TEST_REPORTER_MODE");
  if (vessick::IsStandbyCommandLine(commandLine.c_str()))
    return mode.rfind(L"standby-", 0) == 0 ? BrokenStandby(mode) : 3;
  std::wstring error;
  const std::optional<vessick::HandOff> handOff =
      vessick::ParseHandOffCommandLine(commandLine.c_str(), &error);
  if (!handOff) return 3;
  const HANDLE doneEvent = handOff->event;
  const HANDLE crashed = handOff->process;
  const unsigned long block = handOff->blockAddress;
  const unsigned long pid = handOff->processId;
  const std::wstring outDir = Env(L"TEST_REPORTER_OUT");

  Report report;
  report.AddText("command_line", Narrow(commandLine));
  report.Add("pid", pid);
  report.Add("block", block);
  report.Add("process_handle_pid", ::GetProcessId(crashed));
  report.Add("event_unsignalled", ::WaitForSingleObject(doneEvent, 0) == WAIT_TIMEOUT);

  vessick::BugInfoBlock header = {};
  report.Add("block_read", Read(crashed, block, &header, sizeof header));
  report.AddBytes("header", &header, sizeof header);
  std::vector<uint8_t> whole(header.totalSize >= sizeof header && header.totalSize < 65536
                                 ? header.totalSize : 0);
  if (!whole.empty() && Read(crashed, block, whole.data(), whole.size()))
    report.AddBytes("strings", whole.data() + sizeof header, whole.size() - sizeof header);

  EXCEPTION_POINTERS pair = {};
  if (Read(crashed, header.exceptionPointers, &pair, sizeof pair)) {
    EXCEPTION_RECORD record = {};
    CONTEXT context = {};
    if (Read(crashed, reinterpret_cast<uintptr_t>(pair.ExceptionRecord), &record, sizeof record))
      report.AddBytes("pair_record", &record, sizeof record);
    if (Read(crashed, reinterpret_cast<uintptr_t>(pair.ContextRecord), &context, sizeof context))
      report.AddBytes("pair_context", &context, sizeof context);
  }
  // What the faulting thread's environment block says now, while the host waits.
  NT_TIB tib = {};
  if (Read(crashed, header.crashThreadTeb, &tib, sizeof tib)) {
    report.Add("tib_self", reinterpret_cast<uintptr_t>(tib.Self));
    report.Add("tib_stack_base", reinterpret_cast<uintptr_t>(tib.StackBase));
    report.Add("tib_stack_limit", reinterpret_cast<uintptr_t>(tib.StackLimit));
  }
  DWORD tebThreadId = 0;
  if (Read(crashed, header.crashThreadTeb + 0x24, &tebThreadId, sizeof tebThreadId))
    report.Add("teb_thread_id", tebThreadId);
  // The call instruction just before Eip and the return address at Esp, for captured contexts.
  uint8_t call[5] = {};
  if (Read(crashed, header.context.Eip - 5, call, sizeof call)) report.AddBytes("call_before_eip", call, 5);
  DWORD atEsp = 0;
  if (Read(crashed, header.context.Esp, &atEsp, sizeof atEsp)) report.Add("value_at_esp", atEsp);

  if (!outDir.empty()) {
    report.WriteTo(outDir + L"\\report-" + std::to_wstring(pid) + L".txt");
    FILE* starts = _wfopen((outDir + L"\\starts.log").c_str(), L"ab");
    if (starts != nullptr) {
      std::fprintf(starts, "%lu\n", pid);
      std::fclose(starts);
    }
  }
  const std::wstring delay = Env(L"TEST_REPORTER_DELAY_MS");
  if (!delay.empty()) ::Sleep(std::wcstoul(delay.c_str(), nullptr, 10));
  if (Env(L"TEST_REPORTER_MODE") == L"no-event") return 5;
  ::SetEvent(doneEvent);
  return 0;
}
