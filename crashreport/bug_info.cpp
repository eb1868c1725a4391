#include "bug_info.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

#include "emergency_reserve.h"
#include "install_handlers.h"
#include "library_state.h"
#include "reporter_location.h"
#include "stack_overflow.h"
#include "standby_reporter.h"
#include "thread_environment.h"

namespace vessick {
namespace {

const wchar_t* OrEmpty(const wchar_t* text) { return text != nullptr ? text : L""; }

}  // namespace

bool LayOutStrings(const wchar_t* const (&strings)[kBugInfoStringCount], StringLayout* layout) {
  uint64_t offset = kBugInfoHeaderSize;
  for (int i = 0; i < kBugInfoStringCount; ++i) {
    layout->offsets[i] = static_cast<uint32_t>(offset);
    offset += (static_cast<uint64_t>(std::wcslen(strings[i])) + 1) * sizeof(wchar_t);
    if (offset > UINT32_MAX) return false;
  }
  layout->totalSize = static_cast<uint32_t>(offset);
  return true;
}

bool InitializeBugInfo(const wchar_t* text1, const wchar_t* text2, const wchar_t* text3,
                       const wchar_t* text4, uint32_t number1, uint32_t number2,
                       uint32_t number3, uint32_t firstSetting, uint32_t secondSetting,
                       uint32_t codeValue, uint32_t extraValue, uint32_t referenceCodeAddress,
                       const wchar_t* reporterDirectory) {
  wchar_t hostPath[kHostPathCapacity] = {};
  ::GetModuleFileNameW(nullptr, hostPath, kHostPathCapacity);
  hostPath[kHostPathCapacity - 1] = L'\0';  // older systems do not terminate a cut path

  const uint32_t processPeb = CurrentProcessPeb();

  const wchar_t* const strings[kBugInfoStringCount] = {OrEmpty(text1), OrEmpty(text2),
                                                       OrEmpty(text3), OrEmpty(text4), hostPath};
  StringLayout layout;
  BugInfoBlock* block = nullptr;
  if (LayOutStrings(strings, &layout))
    block = static_cast<BugInfoBlock*>(::HeapAlloc(::GetProcessHeap(), 0, layout.totalSize));
  // All or nothing: without a new block, the earlier block, folder and hooks stay as they were.
  if (block == nullptr) return false;

  std::memset(block, 0, layout.totalSize);
  block->totalSize = layout.totalSize;
  block->reserved = 0;
  block->savedStackBase = 0;
  block->savedStackLimit = 0;
  block->processId = ::GetCurrentProcessId();
  block->initThreadId = ::GetCurrentThreadId();
  block->crashThreadId = 0;
  block->uin = 0;
  block->processPeb = processPeb;
  block->codeValue = codeValue;
  block->crashThreadTeb = 0;
  block->extraValue = extraValue;
  block->exceptionPointers = 0;
  block->number1 = static_cast<uint16_t>(number1);
  block->number2 = static_cast<uint16_t>(number2);
  block->number3 = number3;
  block->flag1 = firstSetting != 0 ? 1 : 0;
  block->flag2 = secondSetting != 0 ? 1 : 0;
  // The only reference address hosts pass is -1 ("none"), recorded as offset 1 with no module.
  (void)referenceCodeAddress;
  block->codeOffset = 1;

  auto* bytes = reinterpret_cast<uint8_t*>(block);
  for (int i = 0; i < kBugInfoStringCount; ++i) {
    block->stringOffsets[i] = layout.offsets[i];
    std::memcpy(bytes + layout.offsets[i], strings[i],
                (std::wcslen(strings[i]) + 1) * sizeof(wchar_t));
  }

  Configuration* next = SpareConfiguration();
  const Configuration* previous = CurrentConfiguration();
  next->block = block;
  if (reporterDirectory == nullptr) {
    std::memset(next->reporterDir, 0, sizeof next->reporterDir);
    if (previous != nullptr)
      std::memcpy(next->reporterDir, previous->reporterDir, sizeof next->reporterDir);
    next->searchAgainAtCrash = previous == nullptr || previous->searchAgainAtCrash;
  } else {
    const bool fits = std::wcslen(reporterDirectory) < static_cast<size_t>(kReporterPathCapacity);
    std::memset(next->reporterDir, 0, sizeof next->reporterDir);
    if (fits) std::wcscpy(next->reporterDir, reporterDirectory);
    next->searchAgainAtCrash = fits;
  }
  if (next->searchAgainAtCrash) FindReporter(next->reporterDir, next->reporterPath);
  else next->reporterPath[0] = L'\0';
  PublishConfiguration(next);

  ::SetErrorMode(SEM_NOGPFAULTERRORBOX);
  InstallHandlers();
  ReserveOverflowStack();
  ReserveEmergencyAddressSpace();  // best effort: without it the report may still get through
  RegisterStackOverflowHandlerOnce();
  // Last: a fault in anything above is still reported by a reporter started at the fault.
  StartStandbyOnce(next->reporterPath);
  return true;
}

void SetUinFields(uint32_t uin) {
  InstallHandlers();
  BugInfoBlock* block = CurrentBlock();
  if (block == nullptr) return;
  block->uin = uin;
}

}  // namespace vessick
