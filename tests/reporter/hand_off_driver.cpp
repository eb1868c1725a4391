#include "hand_off_driver.h"

#include <cstring>

#include "library_state.h"
#include "protocol/hand_off_line.h"
#include "thread_environment.h"
#include "vessick.h"

namespace handoff {
namespace {

CapturedFault captured;
constexpr DWORD kMarkerParameter = 0x4F524C54;

LONG CALLBACK CopyFault(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters != 3 ||
      record->ExceptionInformation[2] != kMarkerParameter)
    return EXCEPTION_CONTINUE_SEARCH;
  captured.record = *record;
  captured.context = *pointers->ContextRecord;
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

const CapturedFault& CaptureFault() {
  if (captured.threadId == 0) {
    // Raised through the system's own dispatcher: record and context are what a filter gets.
    PVOID handler = ::AddVectoredExceptionHandler(1, &CopyFault);
    const ULONG_PTR parameters[] = {1, 0, kMarkerParameter};
    ::RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 3, parameters);
    ::RemoveVectoredExceptionHandler(handler);
    captured.record.NumberParameters = 2;  // the marker only told our handler which one it was
    captured.pointers = {&captured.record, &captured.context};
    captured.threadId = ::GetCurrentThreadId();
    captured.teb = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(vessick::CurrentThreadTib()));
  }
  return captured;
}

std::vector<uint8_t> SoundBlock() {
  static bool initialised = false;
  if (!initialised) {
    InitOrlent("HandOffDriver", "0.9.1", "test", "\xE9\xA9\xB1\xE5\x8A\xA8", 0, 9, 1, "");
    SetOrlentUin(1234567);
    initialised = true;
  }
  const vessick::BugInfoBlock* current = vessick::CurrentBlock();
  std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t*>(current),
                             reinterpret_cast<const uint8_t*>(current) + current->totalSize);
  const CapturedFault& fault = CaptureFault();
  auto* block = reinterpret_cast<vessick::BugInfoBlock*>(bytes.data());
  block->crashThreadTeb = fault.teb;
  block->exceptionPointers =
      static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&fault.pointers));
  block->exceptionRecord = fault.record;
  block->context = fault.context;
  block->reportArgument = 0;
  block->crashThreadId = fault.threadId;
  return bytes;
}

BlockPlacement::BlockPlacement(const std::vector<uint8_t>& block, uint32_t shortBy) {
  const SIZE_T pages = (block.size() + 0xFFF) / 0x1000 + 1;
  region_ = ::VirtualAlloc(nullptr, pages * 0x1000, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (region_ == nullptr) return;
  auto* guard = static_cast<uint8_t*>(region_) + (pages - 1) * 0x1000;
  // Wine's ReadProcessMemory reads a no-access page as it stands instead of failing, so the
  // page holds bytes that can never complete a block: a cut that removed only zero bytes (the
  // last terminator, say) must not read back as the whole block.
  std::memset(guard, 0xCC, 0x1000);
  DWORD old;
  ::VirtualProtect(guard, 0x1000, PAGE_NOACCESS, &old);
  // With shortBy, only that much less than the whole block fits before the guard page.
  const size_t fits = block.size() > shortBy ? block.size() - shortBy : 0;
  uint8_t* start = guard - fits;
  std::memcpy(start, block.data(), fits);
  address_ = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(start));
}

BlockPlacement::~BlockPlacement() {
  if (region_ != nullptr) ::VirtualFree(region_, 0, MEM_RELEASE);
}

std::wstring HandOffLine(HANDLE event, HANDLE process, uint32_t block, DWORD processId) {
  wchar_t line[vessick::kHandOffLineCapacity] = {};
  vessick::FormatHandOffLine(line, event, process, reinterpret_cast<void*>(uintptr_t{block}),
                             processId);
  return line;
}

bool StartReporterWithLine(const std::wstring& reporterPath, HANDLE output, Launch* launch) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  startup.wShowWindow = SW_SHOWNORMAL;
  startup.hStdInput = output;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION started = {};
  std::wstring line = launch->commandLine;
  line.push_back(L'\0');
  if (!::CreateProcessW(reporterPath.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &started)) {
    launch->error = L"CreateProcessW failed, error " + std::to_wstring(::GetLastError());
    return false;
  }
  launch->reporter.reset(started.hProcess);
  win::UniqueKernelHandle thread(started.hThread);
  // Reporters started later must not inherit this one's handles: a hostile line could name
  // them and set another case's event.
  ::SetHandleInformation(launch->event.get(), HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(launch->process.get(), HANDLE_FLAG_INHERIT, 0);
  return true;
}

bool WaitForReporter(Launch* launch, DWORD timeoutMs, DWORD* exitCode) {
  if (::WaitForSingleObject(launch->reporter.get(), timeoutMs) != WAIT_OBJECT_0) {
    ::TerminateProcess(launch->reporter.get(), 99);
    ::WaitForSingleObject(launch->reporter.get(), 5000);
    return false;
  }
  ::GetExitCodeProcess(launch->reporter.get(), exitCode);
  return true;
}

bool EventIsSet(const Launch& launch) {
  return ::WaitForSingleObject(launch.event.get(), 0) == WAIT_OBJECT_0;
}

}  // namespace handoff
