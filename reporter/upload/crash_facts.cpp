#include "upload/crash_facts.h"

#include "process/exception_text.h"
#include "report/crash_signature.h"
#include "report/report_format.h"
#include "text/hex.h"
#include "text/utf.h"

#include <cwctype>

namespace orlent::upload {
namespace {

bool IsSystemModule(const Module& module) {
  std::wstring path = module.path;
  for (wchar_t& c : path) c = static_cast<wchar_t>(::towlower(c));
  return path.find(L"\\windows\\") != std::wstring::npos;
}

// A report raised by a handler (code 0: abort, terminate, a pure call...) is recorded where
// the crash library captured it, the same place for every such crash. What tells them apart
// is the first caller in the host's own code: the first frame outside that module and outside
// the system's DLLs (the C run-time's abort, for one).
CodeLocation FirstCallerOutside(const CrashReport& report, const CodeLocation& captured) {
  for (const StackFrame& frame : report.stack.trace.frames) {
    const CodeLocation location = report.modules.Locate(frame.address);
    if (location.module != nullptr && location.module != captured.module &&
        !IsSystemModule(*location.module))
      return location;
  }
  return captured;
}

}  // namespace

CrashFacts FactsOf(const CrashReport& report) {
  const vessick::BugInfoBlock& header = report.block.header;
  const auto utf8 = [&](BlockString which) { return text::WideToUtf8(report.block.string(which).text); };
  CrashFacts facts;
  facts.product = utf8(BlockString::kText1);
  facts.version = utf8(BlockString::kText2);
  facts.channel = utf8(BlockString::kText3);
  facts.note = utf8(BlockString::kText4);
  facts.versionNumbers = text::WideToUtf8(VersionNumbersText(header));
  facts.uin = std::to_string(header.uin);
  const EXCEPTION_RECORD& record = header.exceptionRecord;
  facts.reason = text::Hex32(record.ExceptionCode);
  const std::string name = text::WideToUtf8(ExceptionCodeName(record.ExceptionCode));
  if (!name.empty()) facts.reason += " " + name;
  // Module and offset identify a crash across runs; a bare address does not (images move).
  CodeLocation where = report.modules.Locate(
      static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record.ExceptionAddress)));
  if (record.ExceptionCode == 0 && where.module != nullptr)
    where = FirstCallerOutside(report, where);
  if (where.module != nullptr)
    facts.signature = text::WideToUtf8(where.module->name) + "+" + text::Hex32(where.offset);
  facts.crashSignature = text::WideToUtf8(CrashSignature(report));
  return facts;
}

}  // namespace orlent::upload
