#include "crash_collector.h"

#include "debuginfo/debug_file_locator.h"
#include "measure/phase_times.h"
#include "process/block_reader.h"
#include "process/debug_symbols.h"
#include "process/module_identity.h"
#include "process/module_symbols.h"
#include "process/remote_memory.h"
#include "process/source_names.h"
#include "process/thrown_type.h"
#include "process/unwind_walk.h"
#include "text/hex.h"
#include "win/unique_handle.h"

namespace orlent {
namespace {

// The thread's stack bounds: the saved ones when the library moved an overflowed thread onto
// a fresh stack, otherwise those in the thread's environment block.
StackSummary WalkCrashStack(const DebugSymbols& symbols, const RemoteMemory& memory,
                            const CrashReport& report) {
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
  // The thread handle only serves dbghelp's 16-bit cases; a thread that cannot be opened
  // still gets its walk.
  win::UniqueKernelHandle thread(
      ::OpenThread(THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE, h.crashThreadId));
  summary.trace =
      WalkThreadStack(symbols, memory, report.modules, thread.get(), h.context, low, high);
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

// Names every address the report shows: the modules' own debug data first (function, file,
// line, inlined calls), then the export and symbol tables of the module files.
void NameAddresses(const DebugSymbols& symbols, CrashReport* report) {
  SourceNames names(report->modules, symbols, debuginfo::SymbolPathFromConfig());
  auto name = [&](uint32_t address, FrameSource source) {
    if (report->functions.count(address) != 0) return;
    SourceName found =
        names.Describe(address, source != FrameSource::kContext, source == FrameSource::kScan);
    if (!found.function.empty()) report->functions.emplace(address, found.function);
    if (!found.file.empty() || !found.inlined.empty())
      report->sources.emplace(address, std::move(found));
  };
  const vessick::BugInfoBlock& h = report->block.header;
  name(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h.exceptionRecord.ExceptionAddress)),
       FrameSource::kContext);
  for (const StackFrame& frame : report->stack.trace.frames) name(frame.address, frame.source);
  for (const ThreadSummary& thread : report->otherThreads) {
    if (thread.startAddress != 0) name(thread.startAddress, FrameSource::kContext);
    for (const StackFrame& frame : thread.trace.frames) name(frame.address, frame.source);
  }
}

// A report the library built at the call (code 0) is explained by the handler body it came
// from.
FaultReason FindReason(const CrashReport& report) {
  const vessick::BugInfoBlock& h = report.block.header;
  if (!report.block.faultRecorded() || h.exceptionRecord.ExceptionCode != 0) return {};
  std::vector<std::wstring> functions;
  auto add = [&](uint32_t address) {
    auto found = report.functions.find(address);
    if (found != report.functions.end()) functions.push_back(found->second);
  };
  add(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h.exceptionRecord.ExceptionAddress)));
  for (const StackFrame& frame : report.stack.trace.frames) add(frame.address);
  return ReasonFromHandlerBody(functions);
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
  OverflowedStack overflowed;
  if (request.threadId != 0 && h.savedStackBase != 0) {
    overflowed = {h.crashThreadId, h.savedStackLimit, h.savedStackBase, h.context};
    request.overflowed = &overflowed;
  }

  const DumpResult result = WriteMinidump(folder + L"\\" + kDumpFileName, request);
  report->dump.size = result.check.size;
  report->dump.streams = result.check.streams;
  if (result.good) {
    report->dump.status = DumpStatus::kWritten;
    report->dump.fileName = kDumpFileName;
    if (!result.stackProblem.empty())
      report->problems.push_back(L"the minidump lacks the overflowed stack: " +
                                 result.stackProblem);
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
  EndPhase(L"block");

  std::wstring error;
  if (auto modules = ListModules(handOff.processId, &error)) {
    report.modules = std::move(*modules);
  } else {
    report.modulesProblem = error;
    report.problems.push_back(L"no module list: " + error);
  }

  EndPhase(L"modules");
  ReadModuleIdentities(memory, &report.modules);
  EndPhase(L"identities");
  report.system = ReadSystemFacts(handOff.process);
  EndPhase(L"system");

  // One symbol session for the walk, the names and the dump; SymCleanup when it ends.
  DebugSymbols symbols(handOff.process, report.modules);
  EndPhase(L"symbols");
  if (report.block.faultRecorded()) {
    report.crashThreadInProcess = ThreadBelongsTo(h.crashThreadId, handOff.processId);
    if (!report.crashThreadInProcess)
      report.problems.push_back(L"crashThreadId " + std::to_wstring(h.crashThreadId) +
                                L" is not a thread of process " +
                                std::to_wstring(handOff.processId));
    report.stack = WalkCrashStack(symbols, memory, report);
  }
  EndPhase(L"crash_stack");
  report.otherThreads = ReadOtherThreads(handOff.processId, h.crashThreadId, symbols, memory,
                                         report.modules);
  EndPhase(L"threads");
  NameAddresses(symbols, &report);
  EndPhase(L"names");
  report.reason = FindReason(report);
  // A host's own statically linked C++ run-time calls its own terminate, whose default is
  // abort: a __cxa_throw frame below OnSigAbrt is an uncaught exception as much as OnTerminate.
  if (report.reason.body == L"OnTerminate" || report.reason.body == L"OnSigAbrt") {
    ThrownException thrown =
        ReadThrownException(memory, report.modules, report.stack.trace, report.functions);
    report.reason.exceptionType = std::move(thrown.type);
    report.reason.exceptionWhat = std::move(thrown.what);
    if (!report.reason.exceptionType.empty())
      report.reason.reason = UncaughtExceptionReason(report.reason.exceptionType);
  }

  EndPhase(L"reason");
  if (DumpWithoutSymbolSession()) symbols.End();
  WriteDump(handOff, folder, &report);
  EndPhase(L"dump");
  return report;
}

}  // namespace orlent
