// The readable report: what a developer looks at first.
#include "report/report_text.h"

#include <cwchar>

#include "process/exception_text.h"
#include "process/module_identity.h"
#include "report/crash_signature.h"
#include "report/report_format.h"
#include "text/utf.h"

namespace orlent {
namespace {

// Text from the crashed process keeps to its line: a message's line breaks and other control
// characters would forge lines of the report.
std::wstring OneLine(std::wstring value) {
  for (wchar_t& c : value)
    if (c < 0x20 || c == 0x7F) c = L' ';
  return value;
}

class TextBuilder {
 public:
  void Line(const std::wstring& text = L"") { out_ += text + L"\r\n"; }
  void Field(const wchar_t* label, const std::wstring& value) {
    wchar_t padded[32];
    std::swprintf(padded, 32, L"  %-16ls", label);
    Line(padded + value);
  }
  void Heading(const wchar_t* title) {
    Line();
    Line(title);
  }
  const std::wstring& text() const { return out_; }

 private:
  std::wstring out_;
};

void Registers(TextBuilder* b, const CONTEXT& c) {
  wchar_t line[128];
  std::swprintf(line, 128, L"  eax=%08lX ebx=%08lX ecx=%08lX edx=%08lX esi=%08lX edi=%08lX",
                c.Eax, c.Ebx, c.Ecx, c.Edx, c.Esi, c.Edi);
  b->Line(line);
  std::swprintf(line, 128, L"  eip=%08lX esp=%08lX ebp=%08lX efl=%08lX", c.Eip, c.Esp, c.Ebp,
                c.EFlags);
  b->Line(line);
  std::swprintf(line, 128, L"  cs=%04lX ss=%04lX ds=%04lX es=%04lX fs=%04lX gs=%04lX",
                c.SegCs & 0xFFFF, c.SegSs & 0xFFFF, c.SegDs & 0xFFFF, c.SegEs & 0xFFFF,
                c.SegFs & 0xFFFF, c.SegGs & 0xFFFF);
  b->Line(line);
  std::swprintf(line, 128, L"  ContextFlags=%08lX", c.ContextFlags);
  b->Line(line);
}

void Frames(TextBuilder* b, const CrashReport& r, const StackTrace& t) {
  for (size_t i = 0; i < t.frames.size(); ++i) {
    const size_t number = i < t.omittedAfter ? i : i + t.omitted;
    if (i == t.omittedAfter && t.omitted != 0)
      b->Line(L"  ... " + std::to_wstring(t.omitted) + L" frames left out ...");
    wchar_t head[48];
    std::swprintf(head, 48, L"  #%-5u %08lX  ", static_cast<unsigned>(number),
                  static_cast<unsigned long>(t.frames[i].address));
    wchar_t location[400];
    std::swprintf(location, 400, L"%-32ls %-15ls ",
                  LocationText(r.modules, t.frames[i].address).c_str(),
                  FrameSourceName(t.frames[i].source));
    const std::wstring source = SourceText(r, t.frames[i].address);
    // Inlined calls come first, innermost at the top, as a stack reads.
    for (const std::wstring& inlined : InlinedText(r, t.frames[i].address))
      b->Line(std::wstring(std::wcslen(head), L' ') + L"inlined: " + inlined);
    b->Line(std::wstring(head) + location + FunctionText(r, t.frames[i].address) +
            (source.empty() ? L"" : L" at " + source));
  }
}

void Stack(TextBuilder* b, const CrashReport& r) {
  const StackTrace& t = r.stack.trace;
  b->Heading((L"Stack of the crashing thread " + std::to_wstring(r.block.header.crashThreadId) +
              L" (" + std::to_wstring(t.totalFrames) + L" frames)").c_str());
  b->Field(L"Bounds:", text::Hex32W(t.low) + L".." + text::Hex32W(t.high) + L", " + r.stack.bounds);
  Frames(b, r, t);
  if (!t.endReason.empty()) b->Field(L"Walk ended:", t.endReason);
}

void OtherThreads(TextBuilder* b, const CrashReport& r) {
  b->Heading((L"Other threads (" + std::to_wstring(r.otherThreads.size()) + L")").c_str());
  for (const ThreadSummary& thread : r.otherThreads) {
    std::wstring title = L"  Thread " + std::to_wstring(thread.id);
    if (!thread.name.empty()) title += L" \"" + thread.name + L"\"";
    if (thread.startAddress != 0) {
      const std::wstring start = FunctionText(r, thread.startAddress);
      title += L", started at " + (start.empty() ? LocationText(r.modules, thread.startAddress)
                                                 : start);
    }
    b->Line(title);
    if (!thread.walked) {
      b->Line(L"    no stack: " + thread.problem);
      continue;
    }
    Frames(b, r, thread.trace);
  }
}

void System(TextBuilder* b, const CrashReport& r) {
  const SystemFacts& s = r.system;
  b->Heading(L"System");
  b->Field(L"Windows:", SystemText(s));
  b->Field(L"Processor:", (s.processor.empty() ? L"unknown" : s.processor) + L", " +
                              std::to_wstring(s.processorCount) + L" logical processors");
  b->Field(L"Memory:", std::to_wstring(s.memoryLoad) + L"% in use, " +
                           ByteCountText(s.physicalAvailable) + L" of " +
                           ByteCountText(s.physicalTotal) + L" available");
  b->Field(L"Host memory:", ByteCountText(s.processPrivateBytes) + L" private, " +
                                ByteCountText(s.processWorkingSet) + L" working set");
  b->Field(L"Host uptime:", s.processUptimeMs < 0
                                ? std::wstring(L"unknown")
                                : std::to_wstring(s.processUptimeMs / 1000) + L"." +
                                      std::to_wstring(s.processUptimeMs % 1000 / 100) + L" s");
}

}  // namespace

std::string FormatTextReport(const CrashReport& r) {
  const vessick::BugInfoBlock& h = r.block.header;
  TextBuilder b;
  b.Line(L"Crash report written by orlent at " + TimeText(r.writtenUtc));
  b.Line(r.complete() ? L"Complete: every check passed."
                      : L"INCOMPLETE: see Problems at the end; fields below are what could be "
                        L"read.");

  b.Heading(L"Application");
  b.Field(L"Product:", ShownText(r.block.string(BlockString::kText1)));
  b.Field(L"Version:", ShownText(r.block.string(BlockString::kText2)) + L" (" +
                           VersionNumbersText(h) + L")");
  b.Field(L"Channel:", ShownText(r.block.string(BlockString::kText3)));
  b.Field(L"Note:", ShownText(r.block.string(BlockString::kText4)));
  const std::wstring language = LanguageName(h.codeValue);
  b.Field(L"Language:", std::to_wstring(h.codeValue) +
                            (language.empty() ? L"" : L" (" + language + L")"));
  b.Field(L"User number:", std::to_wstring(h.uin));
  b.Field(L"Executable:", ShownText(r.block.string(BlockString::kHostPath)));
  b.Field(L"Settings:", L"flag1=" + std::to_wstring(h.flag1) + L" (write a minidump), flag2=" +
                            std::to_wstring(h.flag2) + L" (referenced memory), extraValue=" +
                            std::to_wstring(h.extraValue));

  b.Heading(L"Process");
  if (!r.reportsRootNote.empty()) b.Field(L"Reports root:", r.reportsRootNote);
  b.Field(L"Process id:", std::to_wstring(r.processId));
  b.Field(L"Crashed thread:", std::to_wstring(h.crashThreadId) + L" (TEB " +
                                  text::Hex32W(h.crashThreadTeb) + L")");
  b.Field(L"Init thread:", std::to_wstring(h.initThreadId));
  b.Field(L"PEB:", text::Hex32W(h.processPeb));
  b.Field(L"Block:", text::Hex32W(r.blockAddress) + L", " + std::to_wstring(h.totalSize) +
                         L" bytes");

  const EXCEPTION_RECORD& e = h.exceptionRecord;
  const uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(e.ExceptionAddress));
  b.Heading(L"Exception");
  const std::wstring name = ExceptionCodeName(e.ExceptionCode);
  b.Field(L"Code:", text::Hex32W(e.ExceptionCode) + (name.empty() ? L"" : L" " + name));
  if (!r.reason.reason.empty()) b.Field(L"Reason:", r.reason.reason);
  if (r.reason.exceptionWhat) b.Field(L"C++ what():", OneLine(*r.reason.exceptionWhat));
  b.Field(L"What:", DescribeException(e));
  const std::wstring function = FunctionText(r, address);
  b.Field(L"Where:", LocationText(r.modules, address) + (function.empty() ? L"" : L" " + function));
  for (const std::wstring& inlined : InlinedText(r, address)) b.Field(L"Inlined:", inlined);
  const std::wstring source = SourceText(r, address);
  if (!source.empty()) b.Field(L"Source:", source);
  const std::wstring signature = CrashSignature(r);
  if (!signature.empty()) b.Field(L"Signature:", signature);
  std::wstring parameters;
  for (DWORD i = 0; i < e.NumberParameters && i < EXCEPTION_MAXIMUM_PARAMETERS; ++i)
    parameters += (i ? L" " : L"") + text::Hex32W(static_cast<uint32_t>(e.ExceptionInformation[i]));
  b.Field(L"Flags:", text::Hex32W(e.ExceptionFlags) + L", parameters: " +
                         (parameters.empty() ? L"none" : parameters));

  b.Heading(L"Registers (from the recorded context)");
  Registers(&b, h.context);

  if (r.stack.walked) Stack(&b, r);
  OtherThreads(&b, r);

  b.Heading(L"Modules");
  for (const Module& m : r.modules.modules()) {
    wchar_t line[64];
    std::swprintf(line, 64, L"  %08lX %08lX  %-16ls ", static_cast<unsigned long>(m.base),
                  static_cast<unsigned long>(m.size),
                  m.fileVersion.empty() ? L"-" : m.fileVersion.c_str());
    b.Line(line + m.path);
    b.Line(L"                    " + ModuleIdentityText(m.identity));
    if (m.identity.found)
      b.Line(L"                    code id " +
             CodeIdText(m.identity.timeDateStamp, m.identity.sizeOfImage) +
             (m.identity.hasCodeView ? L", debug id " + DebugIdText(m.identity.guid, m.identity.age)
                                     : L""));
  }
  if (!r.modulesProblem.empty()) b.Line(L"  " + r.modulesProblem);

  System(&b, r);

  b.Heading(L"Minidump");
  if (r.dump.status == DumpStatus::kWritten)
    b.Field(L"File:", r.dump.fileName + L", " + std::to_wstring(r.dump.size) + L" bytes, " +
                          std::to_wstring(r.dump.streams.size()) + L" streams");
  else
    b.Field(L"File:", std::wstring(L"none, ") + DumpStatusText(r.dump.status) +
                          (r.dump.problem.empty() ? L"" : L": " + r.dump.problem));
  b.Field(L"Exception from:", DumpExceptionText(r.dump.exception));

  if (!r.problems.empty()) {
    b.Heading(L"Problems");
    for (const std::wstring& problem : r.problems) b.Line(L"  - " + problem);
  }
  return text::WideToUtf8(b.text());
}

}  // namespace orlent
