#include "crash_collector.h"

#include "process/block_reader.h"
#include "process/module_symbols.h"
#include "process/remote_memory.h"
#include "text/hex.h"

namespace orlent {
namespace {

// The thread's stack bounds: the saved ones when the library moved an overflowed thread onto
// a fresh stack, otherwise those in the thread's environment block.
StackSummary WalkCrashStack(const RemoteMemory& memory, const CrashReport& report) {
  StackSummary summary;
  const vessick::BugInfoBlock& h = report.block.header;
  uint32_t low = 0, high = 0;
  if (h.savedStackBase != 0 && h.savedStackLimit < h.savedStackBase) {
    low = h.savedStackLimit;
    high = h.savedStackBase;
    summary.bounds = L"the thread's own stack, saved when it overflowed";
  } else {
    NT_TIB tib = {};
    if (h.crashThreadTeb != 0 && memory.ReadValue(h.crashThreadTeb, &tib)) {
      low = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(tib.StackLimit));
      high = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(tib.StackBase));
      summary.bounds = L"the thread's stack from its TEB";
    } else {
      summary.bounds = L"unknown (the TEB at " + text::Hex32W(h.crashThreadTeb) +
                       L" cannot be read): 64 KiB above Esp";
    }
  }
  summary.trace = WalkStack(memory, report.modules, h.context, low, high);
  summary.walked = true;
  return summary;
}

// The pair the block names is used when it and what it points at can be read and the record
// is sound (dbghelp copies as many parameters as the record claims); otherwise the block's own
// copies stand in, as long as the crashing thread is a thread of the process.
DumpException ChooseDumpException(const RemoteMemory& memory, const CrashReport& report) {
  if (!report.block.faultRecorded() || !report.crashThreadInProcess) return DumpException::kNone;
  EXCEPTION_POINTERS pair = {};
  EXCEPTION_RECORD record;
  CONTEXT context;
  if (memory.ReadValue(report.block.header.exceptionPointers, &pair) &&
      memory.ReadValue(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pair.ExceptionRecord)),
                       &record) &&
      memory.ReadValue(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pair.ContextRecord)),
                       &context) &&
      record.NumberParameters <= EXCEPTION_MAXIMUM_PARAMETERS)
    return DumpException::kCrashedPair;
  return DumpException::kBlockCopy;
}

void WriteDump(const vessick::HandOff& handOff, const std::wstring& folder, CrashReport* report) {
  const RemoteMemory memory(handOff.process);
  const bool validBlock = report->block.valid();
  if (validBlock && report->block.header.flag1 == 0) {
    report->dump.status = DumpStatus::kNotRequested;
    return;
  }
  const vessick::BugInfoBlock& h = report->block.header;
  // The block's copies, made safe to hand to dbghelp: the chained record's address means
  // something only in the crashed process, and the parameter count bounds a copy.
  EXCEPTION_RECORD record = h.exceptionRecord;
  record.ExceptionRecord = nullptr;
  if (record.NumberParameters > EXCEPTION_MAXIMUM_PARAMETERS)
    record.NumberParameters = EXCEPTION_MAXIMUM_PARAMETERS;
  CONTEXT context = h.context;
  EXCEPTION_POINTERS local = {&record, &context};
  DumpRequest request;
  request.process = handOff.process;
  request.processId = handOff.processId;
  request.block = &report->block.raw;
  request.referencedMemory = !validBlock || h.flag2 != 0;
  report->dump.exception = ChooseDumpException(memory, *report);
  if (report->dump.exception != DumpException::kNone) request.threadId = h.crashThreadId;
  if (report->dump.exception == DumpException::kCrashedPair)
    request.remotePointers = h.exceptionPointers;
  else
    request.localPointers = &local;

  const DumpResult result = WriteMinidump(folder + L"\\" + kDumpFileName, request);
  report->dump.size = result.check.size;
  report->dump.streams = result.check.streams;
  if (result.good) {
    report->dump.status = DumpStatus::kWritten;
    report->dump.fileName = kDumpFileName;
  } else {
    report->dump.status = DumpStatus::kFailed;
    report->dump.problem = result.problem;
    report->problems.push_back(L"no minidump: " + result.problem);
  }
  if (report->dump.exception == DumpException::kBlockCopy)
    report->problems.push_back(
        L"the exception pointers at " + text::Hex32W(h.exceptionPointers) +
        L" cannot be read in the crashed process; the dump's exception is the block's copy");
}

}  // namespace

CrashReport CollectCrash(const vessick::HandOff& handOff, const std::wstring& folder,
                         const SYSTEMTIME& nowUtc) {
  CrashReport report;
  report.writtenUtc = nowUtc;
  report.processId = handOff.processId;
  report.blockAddress = handOff.blockAddress;
  const RemoteMemory memory(handOff.process);

  report.block = ReadBlock(memory, handOff.blockAddress, handOff.processId);
  report.problems = report.block.problems;
  const vessick::BugInfoBlock& h = report.block.header;

  std::wstring error;
  if (auto modules = ListModules(handOff.processId, &error)) {
    report.modules = std::move(*modules);
  } else {
    report.modulesProblem = error;
    report.problems.push_back(L"no module list: " + error);
  }

  if (report.block.faultRecorded()) {
    report.crashThreadInProcess = ThreadBelongsTo(h.crashThreadId, handOff.processId);
    if (!report.crashThreadInProcess)
      report.problems.push_back(L"crashThreadId " + std::to_wstring(h.crashThreadId) +
                                L" is not a thread of process " +
                                std::to_wstring(handOff.processId));
    report.stack = WalkCrashStack(memory, report);
  }

  // Names for the fault's address and every frame; from the module files, not the process.
  SymbolResolver symbols(report.modules);
  auto name = [&](uint32_t address, bool returnAddress) {
    std::wstring function = symbols.Describe(address, returnAddress);
    if (!function.empty()) report.functions.emplace(address, std::move(function));
  };
  name(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h.exceptionRecord.ExceptionAddress)),
       false);
  for (const StackFrame& frame : report.stack.trace.frames)
    name(frame.address, frame.source != FrameSource::kContext);

  WriteDump(handOff, folder, &report);
  return report;
}

}  // namespace orlent
