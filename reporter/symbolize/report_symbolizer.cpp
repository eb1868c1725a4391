#include "symbolize/report_symbolizer.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <memory>

#include "debuginfo/module_sources.h"
#include "exit_codes.h"
#include "handoff/command_arguments.h"
#include "handoff/console_output.h"
#include "report/crash_signature.h"
#include "store/atomic_file.h"
#include "symbolize/json_document.h"
#include "text/utf.h"
#include "upload/report_files.h"

namespace orlent::symbolize {
namespace {

using debuginfo::ModuleKey;
using debuginfo::ModuleSources;
using debuginfo::SourceLookup;

bool ReadWhole(const std::wstring& path, std::string* bytes) {
  std::wstring ignored;
  return upload::ReadWholeFile(path, bytes, &ignored);
}

uint32_t HexValue(const std::string& text) {
  return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
}

// "{01234567-89AB-CDEF-0123-456789ABCDEF}" back into the record's bytes (Data1 to Data3 are
// little-endian numbers, Data4 eight bytes as written).
bool ParseGuid(const std::string& text, uint8_t (&guid)[16]) {
  unsigned d1 = 0, d2 = 0, d3 = 0, b[8] = {};
  if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0],
                  &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]) != 11)
    return false;
  for (int i = 0; i < 4; ++i) guid[i] = static_cast<uint8_t>(d1 >> (8 * i));
  guid[4] = static_cast<uint8_t>(d2), guid[5] = static_cast<uint8_t>(d2 >> 8);
  guid[6] = static_cast<uint8_t>(d3), guid[7] = static_cast<uint8_t>(d3 >> 8);
  for (int i = 0; i < 8; ++i) guid[8 + i] = static_cast<uint8_t>(b[i]);
  return true;
}

std::string Text(const JsonValue* value) { return value != nullptr ? value->text : std::string(); }

ModuleKey KeyOf(const JsonValue& module) {
  ModuleKey key;
  key.path = text::Utf8ToWide(Text(module.Find("path")).c_str());
  key.timeDateStamp = HexValue(Text(module.Find("timeDateStamp")));
  key.sizeOfImage = static_cast<uint32_t>(std::strtoul(Text(module.Find("sizeOfImage")).c_str(), nullptr, 10));
  const JsonValue* guid = module.Find("codeViewGuid");
  if (guid != nullptr && guid->IsString() && ParseGuid(guid->text, key.guid)) {
    key.hasCodeView = true;
    key.age = static_cast<uint32_t>(std::strtoul(Text(module.Find("age")).c_str(), nullptr, 10));
    const JsonValue* debugFile = module.Find("debugFile");
    if (debugFile != nullptr && debugFile->IsString()) key.pdbName = debugFile->text;
  }
  return key;
}

// What a frame is named now, in the forms the report writes.
struct Naming {
  std::string function;  // "LoadLevel+0x12"
  std::string file;
  uint32_t line = 0;
  std::vector<debuginfo::SourceFrame> inlined;  // innermost first
};

class Namer {
 public:
  Namer(const JsonValue& report, const std::optional<std::wstring>& store) : store_(store) {
    if (const JsonValue* modules = report.Find("modules"))
      for (const JsonValue& module : modules->items)
        if (module.Find("name") != nullptr) modules_.emplace(Text(module.Find("name")), &module);
  }

  std::optional<Naming> Name(const std::string& module, uint32_t rva, bool returnAddress) {
    ModuleSources* sources = SourcesOf(module);
    if (sources == nullptr) return std::nullopt;
    const SourceLookup lookup = sources->Describe(rva, returnAddress);
    if (lookup.frames.empty()) return std::nullopt;
    Naming naming;
    const debuginfo::SourceFrame& outer = lookup.frames.back();
    naming.function = text::WideToUtf8(outer.function);
    if (lookup.hasFunctionStart && rva >= lookup.functionRva && !naming.function.empty()) {
      char offset[16];
      std::snprintf(offset, sizeof offset, "+0x%X", rva - lookup.functionRva);
      naming.function += offset;
    }
    naming.file = text::WideToUtf8(outer.file);
    naming.line = outer.line;
    naming.inlined.assign(lookup.frames.begin(), lookup.frames.end() - 1);
    return naming;
  }

  std::vector<std::wstring> Notes() {
    std::vector<std::wstring> notes;
    for (auto& [name, sources] : sources_)
      if (sources && !sources->hasDwarf())
        notes.push_back(text::Utf8ToWide(name.c_str()) + L": no debug information found");
    return notes;
  }

 private:
  ModuleSources* SourcesOf(const std::string& module) {
    auto known = sources_.find(module);
    if (known != sources_.end()) return known->second.get();
    std::unique_ptr<ModuleSources> made;
    auto entry = modules_.find(module);
    if (entry != modules_.end()) {
      ModuleKey key = KeyOf(*entry->second);
      made = std::make_unique<ModuleSources>(
          store_ ? ModuleSources::ForStore(std::move(key), {*store_})
                 : ModuleSources(std::move(key), debuginfo::SymbolPathFromConfig()));
    }
    return sources_.emplace(module, std::move(made)).first->second.get();
  }

  std::optional<std::wstring> store_;
  std::map<std::string, const JsonValue*> modules_;
  std::map<std::string, std::unique_ptr<ModuleSources>> sources_;
};

JsonValue InlinedJson(const Naming& naming) {
  JsonValue list;
  list.kind = JsonValue::Kind::kArray;
  for (const debuginfo::SourceFrame& frame : naming.inlined) {
    JsonValue item;
    item.kind = JsonValue::Kind::kObject;
    item.Member("function") = JsonValue::String(text::WideToUtf8(frame.function));
    item.Member("file") = frame.file.empty() ? JsonValue{} : JsonValue::String(text::WideToUtf8(frame.file));
    item.Member("line") = frame.line == 0 ? JsonValue{} : JsonValue::Number(frame.line);
    list.items.push_back(std::move(item));
  }
  return list;
}

// Every object of the report that names a code address ("module", "offset", "function": the
// frames of every thread and the exception), renamed where the debug information knows it.
void RenameLocations(JsonValue* value, Namer* namer, std::map<uint32_t, Naming>* named,
                     int* renamed) {
  if (value->kind == JsonValue::Kind::kArray) {
    for (JsonValue& item : value->items) RenameLocations(&item, namer, named, renamed);
    return;
  }
  if (value->kind != JsonValue::Kind::kObject) return;
  const JsonValue* module = value->Find("module");
  const JsonValue* offset = value->Find("offset");
  const JsonValue* address = value->Find("address");
  if (module != nullptr && module->IsString() && offset != nullptr && address != nullptr &&
      value->Find("function") != nullptr) {
    const JsonValue* source = value->Find("source");
    const bool returnAddress = source != nullptr && source->text != "context";
    if (std::optional<Naming> naming =
            namer->Name(module->text, HexValue(offset->text), returnAddress)) {
      value->Member("function") = JsonValue::String(naming->function);
      value->Member("file") = naming->file.empty() ? JsonValue{} : JsonValue::String(naming->file);
      value->Member("line") = naming->line == 0 ? JsonValue{} : JsonValue::Number(naming->line);
      value->Member("inlined") = InlinedJson(*naming);
      named->emplace(HexValue(address->text), *naming);
      ++*renamed;
    }
  }
  for (auto& member : value->members) RenameLocations(&member.second, namer, named, renamed);
}

std::string At(const Naming& naming) {
  return naming.file.empty() ? std::string() : " at " + naming.file + ":" + std::to_string(naming.line);
}

std::string InlinedLine(const debuginfo::SourceFrame& frame) {
  return text::WideToUtf8(frame.function) +
         (frame.file.empty() ? std::string()
                             : " at " + text::WideToUtf8(frame.file) + ":" + std::to_string(frame.line));
}

const char* const kFrameSources[] = {" context ", " call frame info ", " frame pointer ", " scan "};

// The text report's frame lines ("  #3     0040138E  host.exe+0x138E   call frame info  main+0x22E
// at main.c:80") and the inlined lines above them, and the exception's Source: and Inlined:
// fields and its Signature:, with the new names; everything else as it was.
std::string RenameText(const std::string& text, const std::map<uint32_t, Naming>& named,
                       uint32_t exceptionAddress, const std::string& signature) {
  std::vector<std::string> lines, out;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  const std::string headPad(19, ' ');
  auto field = [](const char* label, const std::string& value) {
    char padded[32];
    std::snprintf(padded, sizeof padded, "  %-16s", label);
    return padded + value;
  };
  std::vector<std::string> pendingInlined;
  const auto exception = named.find(exceptionAddress);
  for (const std::string& line : lines) {
    if (line.rfind(headPad + "inlined: ", 0) == 0) {
      pendingInlined.push_back(line);
      continue;
    }
    if (exception != named.end() &&
        (line.rfind("  Source:", 0) == 0 || line.rfind("  Inlined:", 0) == 0))
      continue;  // written anew after Where:
    if (!signature.empty() && line.rfind("  Signature:", 0) == 0) {
      out.push_back(field("Signature:", signature));
      continue;
    }
    unsigned number = 0;
    char address[9] = {};
    const bool frameLine = line.rfind("  #", 0) == 0 &&
                           std::sscanf(line.c_str(), "  #%u %8s", &number, address) == 2;
    auto renamed = frameLine ? named.find(HexValue(address)) : named.end();
    size_t sourceEnd = std::string::npos;
    if (renamed != named.end())
      for (const char* source : kFrameSources) {
        const size_t at = line.find(source, 19);
        if (at != std::string::npos) {
          sourceEnd = at + std::strlen(source);
          while (sourceEnd < line.size() && line[sourceEnd] == ' ') ++sourceEnd;
          break;
        }
      }
    if (sourceEnd != std::string::npos) {
      for (const debuginfo::SourceFrame& frame : renamed->second.inlined)
        out.push_back(headPad + "inlined: " + InlinedLine(frame));
      out.push_back(line.substr(0, sourceEnd) + renamed->second.function + At(renamed->second));
    } else {
      out.insert(out.end(), pendingInlined.begin(), pendingInlined.end());
      out.push_back(line);
    }
    pendingInlined.clear();
    if (exception != named.end() && line.rfind("  Where:", 0) == 0) {
      if (!exception->second.file.empty())
        out.push_back(field("Source:", exception->second.file + ":" +
                                           std::to_string(exception->second.line)));
      for (const debuginfo::SourceFrame& frame : exception->second.inlined)
        out.push_back(field("Inlined:", InlinedLine(frame)));
    }
  }
  out.insert(out.end(), pendingInlined.begin(), pendingInlined.end());
  std::string joined;
  for (size_t i = 0; i < out.size(); ++i) joined += out[i] + (i + 1 < out.size() ? "\r\n" : "");
  return joined + (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0 ? "\r\n" : "");
}

// The signature from the frames as they are named now; the report's own modules decide what
// is passed over (their paths are the crashed machine's, whose Windows folder is unknown here).
std::string SignatureNow(const JsonValue& report) {
  const JsonValue* threads = report.Find("threads");
  if (threads == nullptr || threads->items.empty()) return {};
  const JsonValue* frames = threads->items[0].Find("frames");
  if (frames == nullptr) return {};
  std::map<std::string, Module> modules;
  if (const JsonValue* list = report.Find("modules"))
    for (const JsonValue& m : list->items) {
      Module module;
      module.name = text::Utf8ToWide(Text(m.Find("name")).c_str());
      module.path = text::Utf8ToWide(Text(m.Find("path")).c_str());
      modules.emplace(Text(m.Find("name")), std::move(module));
    }
  std::vector<SignatureFrame> shown;
  for (const JsonValue& frame : frames->items) {
    SignatureFrame one;
    auto module = modules.find(Text(frame.Find("module")));
    if (module != modules.end()) one.module = &module->second;
    one.function = text::Utf8ToWide(Text(frame.Find("function")).c_str());
    shown.push_back(std::move(one));
  }
  return text::WideToUtf8(SignatureOf(shown, L""));
}

}  // namespace

bool SymbolizeReport(const std::wstring& folder, const std::optional<std::wstring>& store,
                     SymbolizeResult* result, std::wstring* error) {
  const std::wstring jsonPath = folder + L"\\report.json", textPath = folder + L"\\report.txt";
  std::string json, text;
  if (!ReadWhole(jsonPath, &json)) {
    *error = L"cannot read " + jsonPath;
    return false;
  }
  std::string parseError;
  std::optional<JsonValue> report = ParseJson(json, &parseError);
  if (!report || report->kind != JsonValue::Kind::kObject) {
    *error = jsonPath + L" is not a report: " + text::Utf8ToWide(parseError.c_str());
    return false;
  }
  Namer namer(*report, store);
  std::map<uint32_t, Naming> named;
  RenameLocations(&*report, &namer, &named, &result->renamed);
  result->notes = namer.Notes();
  if (result->renamed == 0) return true;
  const std::string signature = SignatureNow(*report);
  if (!signature.empty() && report->Find("signature") != nullptr)
    report->Member("signature") = JsonValue::String(signature);
  const JsonValue* exception = report->Find("exception");
  const uint32_t exceptionAddress =
      exception != nullptr ? HexValue(Text(exception->Find("address"))) : 0;
  if (!WriteFileAtomically(jsonPath, FormatJson(*report), error)) return false;
  if (ReadWhole(textPath, &text) &&
      !WriteFileAtomically(textPath, RenameText(text, named, exceptionAddress, signature), error))
    return false;
  return true;
}

std::optional<int> RunSymbolizeSwitch(const wchar_t* commandLine) {
  const std::vector<std::wstring> args = CommandArguments(commandLine);
  const size_t count = args.size();
  if (count < 2 || !IsSwitch(args[1], L"/symbolize")) return std::nullopt;
  if (count != 3 && count != 4) {
    PrintError(L"usage: orlent /symbolize REPORT_FOLDER [STORE]");
    return kUsage;
  }
  SymbolizeResult result;
  std::wstring error;
  const std::optional<std::wstring> store =
      count == 4 ? std::optional<std::wstring>(args[3]) : std::nullopt;
  if (!SymbolizeReport(args[2], store, &result, &error)) {
    PrintError(L"cannot symbolize the report: " + error);
    return kCannotWriteReport;
  }
  for (const std::wstring& note : result.notes) PrintError(note);
  PrintLine(L"orlent: " + std::to_wstring(result.renamed) + L" frames named in " + args[2]);
  return kReportComplete;
}

}  // namespace orlent::symbolize
