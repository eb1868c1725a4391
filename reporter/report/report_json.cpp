// The same facts as the text report, for tools.
#include "report/report_json.h"

#include "process/exception_text.h"
#include "process/module_identity.h"
#include "report/crash_signature.h"
#include "report/json_writer.h"
#include "report/report_format.h"

namespace orlent {
namespace {

void Text(JsonWriter* j, const char* key, const BlockText& text) {
  j->Key(key);
  if (text.found) j->String(text.text);
  else j->Null();
}

void Location(JsonWriter* j, const CrashReport& r, uint32_t address) {
  const ModuleList& modules = r.modules;
  const CodeLocation location = modules.Locate(address);
  j->Key("module");
  if (location.module != nullptr) j->String(location.module->name);
  else j->Null();
  j->Key("offset").Hex(location.offset);
  j->Key("location").String(LocationText(modules, address));
  j->Key("function");
  const std::wstring function = FunctionText(r, address);
  if (function.empty()) j->Null();
  else j->String(function);
  auto source = r.sources.find(address);
  j->Key("file");
  if (source == r.sources.end() || source->second.file.empty()) j->Null();
  else j->String(source->second.file);
  j->Key("line");
  if (source == r.sources.end() || source->second.line == 0) j->Null();
  else j->Number(source->second.line);
  // The functions inlined at the address, innermost first; "function" holds them.
  j->Key("inlined");
  j->BeginArray();
  if (source != r.sources.end())
    for (const InlinedFunction& inlined : source->second.inlined) {
      j->BeginObject();
      j->Key("function").String(inlined.function);
      j->Key("file");
      if (inlined.file.empty()) j->Null();
      else j->String(inlined.file);
      j->Key("line");
      if (inlined.line == 0) j->Null();
      else j->Number(inlined.line);
      j->EndObject();
    }
  j->EndArray();
}

void Frames(JsonWriter* j, const CrashReport& r, const StackTrace& t) {
  j->BeginArray();
  for (size_t i = 0; i < t.frames.size(); ++i) {
    j->BeginObject();
    j->Key("index").Number(static_cast<int64_t>(i < t.omittedAfter ? i : i + t.omitted));
    j->Key("address").Hex(t.frames[i].address);
    Location(j, r, t.frames[i].address);
    j->Key("source").String(FrameSourceName(t.frames[i].source));
    j->Key("stackSlot").Hex(t.frames[i].slot);
    j->EndObject();
  }
  j->EndArray();
}

void Registers(JsonWriter* j, const CONTEXT& c) {
  const std::pair<const char*, uint32_t> registers[] = {
      {"eax", c.Eax}, {"ebx", c.Ebx}, {"ecx", c.Ecx},   {"edx", c.Edx},
      {"esi", c.Esi}, {"edi", c.Edi}, {"ebp", c.Ebp},   {"esp", c.Esp},
      {"eip", c.Eip}, {"eflags", c.EFlags}, {"cs", c.SegCs & 0xFFFF}, {"ss", c.SegSs & 0xFFFF},
      {"ds", c.SegDs & 0xFFFF}, {"es", c.SegEs & 0xFFFF}, {"fs", c.SegFs & 0xFFFF},
      {"gs", c.SegGs & 0xFFFF}, {"contextFlags", c.ContextFlags}};
  j->BeginObject();
  for (const auto& [name, value] : registers) {
    j->Key(name).Hex(value);
  }
  j->EndObject();
}

void Exception(JsonWriter* j, const CrashReport& r) {
  const EXCEPTION_RECORD& e = r.block.header.exceptionRecord;
  j->BeginObject();
  j->Key("code").Hex(e.ExceptionCode);
  j->Key("name").String(ExceptionCodeName(e.ExceptionCode));
  j->Key("description").String(DescribeException(e));
  j->Key("flags").Hex(e.ExceptionFlags);
  j->Key("address").Hex(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(e.ExceptionAddress)));
  Location(j, r, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(e.ExceptionAddress)));
  j->Key("parameters");
  j->BeginArray();
  for (DWORD i = 0; i < e.NumberParameters && i < EXCEPTION_MAXIMUM_PARAMETERS; ++i)
    j->Hex(static_cast<uint32_t>(e.ExceptionInformation[i]));
  j->EndArray();
  j->Key("pointers").Hex(r.block.header.exceptionPointers);
  j->Key("reason");
  if (r.reason.reason.empty()) j->Null();
  else j->String(r.reason.reason);
  j->Key("handlerBody");
  if (r.reason.body.empty()) j->Null();
  else j->String(r.reason.body);
  j->Key("cxxExceptionType");
  if (r.reason.exceptionType.empty()) j->Null();
  else j->String(r.reason.exceptionType);
  j->Key("cxxWhat");
  if (!r.reason.exceptionWhat) j->Null();
  else j->String(std::wstring_view(*r.reason.exceptionWhat));
  j->EndObject();
}

void Stack(JsonWriter* j, const CrashReport& r) {
  const StackTrace& t = r.stack.trace;
  j->BeginObject();
  j->Key("low").Hex(t.low);
  j->Key("high").Hex(t.high);
  j->Key("bounds").String(r.stack.bounds);
  j->Key("totalFrames").Number(t.totalFrames);
  j->Key("omitted").Number(t.omitted);
  j->Key("endReason").String(t.endReason);
  j->Key("frames");
  Frames(j, r, t);
  j->EndObject();
}

// Every thread, the crashing one first and complete; the others with their innermost and
// outermost frames.
void Threads(JsonWriter* j, const CrashReport& r) {
  j->BeginArray();
  if (r.stack.walked) {
    j->BeginObject();
    j->Key("id").Number(r.block.header.crashThreadId);
    j->Key("crashed").Bool(true);
    j->Key("name").Null();
    j->Key("totalFrames").Number(r.stack.trace.totalFrames);
    j->Key("omitted").Number(r.stack.trace.omitted);
    j->Key("endReason").String(r.stack.trace.endReason);
    j->Key("frames");
    Frames(j, r, r.stack.trace);
    j->EndObject();
  }
  for (const ThreadSummary& thread : r.otherThreads) {
    j->BeginObject();
    j->Key("id").Number(thread.id);
    j->Key("crashed").Bool(false);
    j->Key("name");
    if (thread.name.empty()) j->Null();
    else j->String(thread.name);
    j->Key("teb").Hex(thread.teb);
    j->Key("start");
    if (thread.startAddress == 0) {
      j->Null();
    } else {
      j->BeginObject();
      j->Key("address").Hex(thread.startAddress);
      Location(j, r, thread.startAddress);
      j->EndObject();
    }
    j->Key("problem");
    if (thread.walked) j->Null();
    else j->String(thread.problem);
    j->Key("totalFrames").Number(thread.trace.totalFrames);
    j->Key("omitted").Number(thread.trace.omitted);
    j->Key("frames");
    Frames(j, r, thread.trace);
    j->EndObject();
  }
  j->EndArray();
}

void System(JsonWriter* j, const SystemFacts& s) {
  j->BeginObject();
  j->Key("windowsVersion").String(s.windowsVersion);
  j->Key("windowsBuild").Number(s.windowsBuild);
  j->Key("servicePack").String(s.servicePack);
  j->Key("wine");
  if (s.wineVersion.empty()) j->Null();
  else j->String(s.wineVersion);
  j->Key("processor").String(s.processor);
  j->Key("processorCount").Number(s.processorCount);
  j->Key("memoryLoadPercent").Number(s.memoryLoad);
  j->Key("physicalTotal").Number(static_cast<int64_t>(s.physicalTotal));
  j->Key("physicalAvailable").Number(static_cast<int64_t>(s.physicalAvailable));
  j->Key("processPrivateBytes").Number(static_cast<int64_t>(s.processPrivateBytes));
  j->Key("processWorkingSet").Number(static_cast<int64_t>(s.processWorkingSet));
  j->Key("processUptimeMs");
  if (s.processUptimeMs < 0) j->Null();
  else j->Number(s.processUptimeMs);
  j->EndObject();
}

void Modules(JsonWriter* j, const CrashReport& r) {
  j->BeginArray();
  for (const Module& m : r.modules.modules()) {
    j->BeginObject();
    j->Key("name").String(m.name);
    j->Key("path").String(m.path);
    j->Key("base").Hex(m.base);
    j->Key("size").Number(m.size);
    j->Key("fileVersion");
    if (m.fileVersion.empty()) j->Null();
    else j->String(m.fileVersion);
    const ModuleIdentity& id = m.identity;
    j->Key("timeDateStamp");
    if (id.found) j->Hex(id.timeDateStamp);
    else j->Null();
    j->Key("sizeOfImage");
    if (id.found) j->Number(id.sizeOfImage);
    else j->Null();
    j->Key("codeView");
    if (id.hasCodeView) {
      j->BeginObject();
      j->Key("guid").String(GuidText(id.guid));
      j->Key("age").Number(id.age);
      j->EndObject();
    } else {
      j->Null();
    }
    j->Key("callFrameInfo").Bool(id.callFrameInfo);
    // The same identity flat, in the forms symbol servers and Breakpad-style collectors key on.
    j->Key("codeViewGuid");
    if (id.hasCodeView) j->String(GuidText(id.guid));
    else j->Null();
    j->Key("age");
    if (id.hasCodeView) j->Number(id.age);
    else j->Null();
    j->Key("debugFile");
    if (id.hasCodeView && !id.pdbName.empty()) j->String(DebugFileName(id.pdbName));
    else j->Null();
    j->Key("debugId");
    if (id.hasCodeView) j->String(DebugIdText(id.guid, id.age));
    else j->Null();
    j->Key("codeId");
    if (id.found) j->String(CodeIdText(id.timeDateStamp, id.sizeOfImage));
    else j->Null();
    j->EndObject();
  }
  j->EndArray();
}

void Dump(JsonWriter* j, const CrashReport& r) {
  j->BeginObject();
  j->Key("status").String(DumpStatusText(r.dump.status));
  j->Key("file");
  if (r.dump.status == DumpStatus::kWritten) j->String(r.dump.fileName);
  else j->Null();
  j->Key("size").Number(static_cast<int64_t>(r.dump.size));
  j->Key("streams");
  j->BeginArray();
  for (uint32_t type : r.dump.streams) j->Number(type);
  j->EndArray();
  j->Key("exceptionFrom").String(DumpExceptionText(r.dump.exception));
  j->Key("problem");
  if (r.dump.problem.empty()) j->Null();
  else j->String(r.dump.problem);
  j->EndObject();
}

}  // namespace

std::string FormatJsonReport(const CrashReport& r) {
  const vessick::BugInfoBlock& h = r.block.header;
  JsonWriter j;
  j.BeginObject();
  j.Key("format").String(std::string_view("orlent-crash-report/1"));
  j.Key("complete").Bool(r.complete());
  j.Key("problems");
  j.BeginArray();
  for (const std::wstring& problem : r.problems) j.String(problem);
  j.EndArray();
  j.Key("writtenAt").String(TimeText(r.writtenUtc));
  j.Key("reportsRootNote");
  if (r.reportsRootNote.empty()) j.Null();
  else j.String(r.reportsRootNote);

  j.Key("host");
  j.BeginObject();
  Text(&j, "product", r.block.string(BlockString::kText1));
  Text(&j, "version", r.block.string(BlockString::kText2));
  Text(&j, "channel", r.block.string(BlockString::kText3));
  Text(&j, "note", r.block.string(BlockString::kText4));
  Text(&j, "path", r.block.string(BlockString::kHostPath));
  j.Key("versionNumbers");
  j.BeginArray();
  j.Number(h.number1);
  j.Number(h.number2);
  j.Number(h.number3);
  j.EndArray();
  j.Key("language").Number(h.codeValue);
  j.Key("languageName").String(LanguageName(h.codeValue));
  j.Key("uin").Number(h.uin);
  j.Key("flag1").Number(h.flag1);
  j.Key("flag2").Number(h.flag2);
  j.Key("extraValue").Number(h.extraValue);
  j.EndObject();

  j.Key("process");
  j.BeginObject();
  j.Key("id").Number(r.processId);
  j.Key("peb").Hex(h.processPeb);
  j.Key("initThreadId").Number(h.initThreadId);
  j.Key("crashThreadId").Number(h.crashThreadId);
  j.Key("crashThreadTeb").Hex(h.crashThreadTeb);
  j.Key("blockAddress").Hex(r.blockAddress);
  j.Key("blockSize").Number(h.totalSize);
  j.Key("savedStackBase").Hex(h.savedStackBase);
  j.Key("savedStackLimit").Hex(h.savedStackLimit);
  j.EndObject();

  j.Key("signature");
  const std::wstring signature = CrashSignature(r);
  if (signature.empty()) j.Null();
  else j.String(signature);
  j.Key("exception");
  Exception(&j, r);
  j.Key("registers");
  Registers(&j, h.context);
  j.Key("stack");
  if (r.stack.walked) Stack(&j, r);
  else j.Null();
  j.Key("threads");
  Threads(&j, r);
  j.Key("modules");
  Modules(&j, r);
  j.Key("system");
  System(&j, r.system);
  j.Key("minidump");
  Dump(&j, r);
  j.EndObject();
  return j.text();
}

}  // namespace orlent
