// The hand-off as the crashed process makes it, for driving the real orlent.exe from a test:
// a block in this process's memory, an inheritable manual-reset event and an inheritable
// duplicate of this process's handle, and the reporter started with inheritance on.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "win/unique_handle.h"

namespace handoff {

// A real exception pair, caught as the system delivers it, and a block describing it.
struct CapturedFault {
  EXCEPTION_RECORD record;
  CONTEXT context;
  EXCEPTION_POINTERS pointers;
  DWORD threadId;
  uint32_t teb;
};
const CapturedFault& CaptureFault();

// The bytes of a complete block for this process (built by the library's own initialiser,
// then completed with the captured fault as the launcher would).
std::vector<uint8_t> SoundBlock();

// Memory to put a block in: the block ends exactly where an inaccessible page begins, so a
// reader that runs past its end faults instead of reading a neighbour.
class BlockPlacement {
 public:
  explicit BlockPlacement(const std::vector<uint8_t>& block, uint32_t shortBy = 0);
  ~BlockPlacement();
  BlockPlacement(const BlockPlacement&) = delete;
  BlockPlacement& operator=(const BlockPlacement&) = delete;
  uint32_t address() const { return address_; }

 private:
  void* region_ = nullptr;
  uint32_t address_ = 0;
};

// One started reporter and the handles it was given.
struct Launch {
  win::UniqueKernelHandle event;    // inheritable, manual reset, not signalled
  win::UniqueKernelHandle process;  // inheritable duplicate of this process's handle
  win::UniqueKernelHandle reporter;
  std::wstring commandLine;
  std::wstring error;  // why the reporter could not be started
};

// the hand-off line exactly as the library formats it.
std::wstring HandOffLine(HANDLE event, HANDLE process, uint32_t block, DWORD processId);

// Creates the event and process handle, lets `makeLine` build the command line from them, and
// starts `reporterPath` with inheritance on, its standard handles set to `output`.
template <typename MakeLine>
bool StartReporter(const std::wstring& reporterPath, MakeLine makeLine, HANDLE output,
                   Launch* launch);
bool StartReporterWithLine(const std::wstring& reporterPath, HANDLE output, Launch* launch);

// Waits for the reporter to end; false on time-out (the reporter is then ended).
bool WaitForReporter(Launch* launch, DWORD timeoutMs, DWORD* exitCode);

bool EventIsSet(const Launch& launch);

template <typename MakeLine>
bool StartReporter(const std::wstring& reporterPath, MakeLine makeLine, HANDLE output,
                   Launch* launch) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  launch->event.reset(::CreateEventW(&inheritable, TRUE, FALSE, nullptr));
  HANDLE self = nullptr;
  ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(), &self,
                    0, TRUE, DUPLICATE_SAME_ACCESS);
  launch->process.reset(self);
  if (!launch->event || !launch->process) {
    launch->error = L"CreateEventW or DuplicateHandle failed";
    return false;
  }
  launch->commandLine = makeLine(launch->event.get(), launch->process.get());
  return StartReporterWithLine(reporterPath, output, launch);
}

}  // namespace handoff
