// Everything the reporter learned about one crash, gathered while the crashed process waits
// and written out afterwards as text and as JSON.
//
// What the block's host-supplied fields mean to the reporter:
//   text1 product name, text2 version text, text3 release channel, text4 free text;
//   number1.number2.number3 the numeric version (major, minor, build);
//   flag1 write a minidump (0: text and JSON only), flag2 put the memory that the stacks point
//   at (and data segments) into the dump; both honoured only for a block that passed its
//   checks, otherwise the reporter writes the richest report it can;
//   codeValue the language (LCID) of the host's user interface, 2052 = zh-CN;
//   uin the user number; extraValue is recorded as it is.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "process/block_validation.h"
#include "minidump/minidump_writer.h"
#include "process/modules.h"
#include "process/debug_symbols.h"
#include "process/fault_reason.h"
#include "process/stack_walk.h"
#include "process/system_facts.h"
#include "process/threads.h"

namespace orlent {

enum class DumpStatus { kWritten, kFailed, kNotRequested };

// Where the exception in the dump came from.
enum class DumpException {
  kNone,          // no usable thread or pair: the dump has no exception stream
  kCrashedPair,   // the pair in the crashed process, as the block names it
  kBlockCopy,     // the block's own copies of record and context
};

struct DumpSummary {
  DumpStatus status = DumpStatus::kNotRequested;
  std::wstring fileName;  // in the report folder, when written
  std::wstring problem;
  uint64_t size = 0;
  std::vector<uint32_t> streams;
  DumpException exception = DumpException::kNone;
};

struct StackSummary {
  bool walked = false;
  std::wstring bounds;  // which bounds were used: the thread's own, or the saved overflow ones
  StackTrace trace;
};

struct CrashReport {
  SYSTEMTIME writtenUtc = {};
  DWORD processId = 0;  // from the command line, checked against the process handle
  uint32_t blockAddress = 0;
  BlockReading block;
  bool crashThreadInProcess = false;
  ModuleList modules;
  std::wstring modulesProblem;
  std::map<uint32_t, std::wstring> functions;  // "name+0x12" for the addresses named below
  std::map<uint32_t, SourceName> sources;      // file and line, where debug information says
  StackSummary stack;
  std::vector<ThreadSummary> otherThreads;     // every other thread of the host
  FaultReason reason;                          // for an exception built at the call (code 0)
  SystemFacts system;
  std::wstring reportsRootNote;  // where the report went when the chosen root was unusable
  DumpSummary dump;
  std::vector<std::wstring> problems;  // the block's and every later one

  bool complete() const { return problems.empty(); }
};

// The file names inside a report folder.
constexpr wchar_t kDumpFileName[] = L"crash.dmp";
constexpr wchar_t kTextFileName[] = L"report.txt";
constexpr wchar_t kJsonFileName[] = L"report.json";

// The language name of an LCID ("zh-CN"), or empty.
std::wstring LanguageName(uint32_t lcid);

}  // namespace orlent
