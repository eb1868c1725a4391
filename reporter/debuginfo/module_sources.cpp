#include "debuginfo/module_sources.h"

#include "debuginfo/dwarf_index.h"
#include "debuginfo/symbol_names.h"
#include "text/utf.h"

namespace orlent::debuginfo {

struct ModuleSources::State {
  ModuleKey key;
  std::vector<std::wstring> symbolPath;
  bool storeOnly = false;
  bool opened = false;
  std::optional<DebugFile> debugFile;
  std::unique_ptr<DwarfIndex> index;
  std::wstring debugFilePath;
  std::vector<std::wstring> notes;
  size_t problemsSeen = 0;

  void Open() {
    if (opened) return;
    opened = true;
    LocateResult located;
    if (storeOnly) {
      // The module's file, where it is still there, names its debug file.
      std::wstring error;
      std::optional<MappedFile> own = MappedFile::Open(key.path, &error);
      std::optional<PeImage> image;
      if (own) image = PeImage::Parse(own->bytes());
      located = LocateInSymbolPath(key, image ? &*image : nullptr, symbolPath);
    } else {
      located = LocateDebugFile(key, symbolPath);
    }
    for (std::wstring& refused : located.refused) notes.push_back(L"refused " + refused);
    if (!located.found) return;
    debugFilePath = located.found->path;
    debugFile = std::move(located.found);
    index = std::make_unique<DwarfIndex>(DwarfSections::From(debugFile->image));
  }

  void TakeProblems() {
    const std::vector<std::string>& problems = index->problems();
    for (; problemsSeen < problems.size(); ++problemsSeen)
      notes.push_back(debugFilePath + L": " + text::Utf8ToWide(problems[problemsSeen].c_str()));
  }
};

ModuleSources::ModuleSources(ModuleKey key, std::vector<std::wstring> symbolPath)
    : state_(std::make_unique<State>()) {
  state_->key = std::move(key);
  state_->symbolPath = std::move(symbolPath);
}

ModuleSources ModuleSources::ForStore(ModuleKey key, std::vector<std::wstring> store) {
  ModuleSources sources(std::move(key), std::move(store));
  sources.state_->storeOnly = true;
  return sources;
}

ModuleSources::~ModuleSources() = default;
ModuleSources::ModuleSources(ModuleSources&&) noexcept = default;
ModuleSources& ModuleSources::operator=(ModuleSources&&) noexcept = default;

SourceLookup ModuleSources::Describe(uint32_t rva, bool returnAddress) {
  SourceLookup result;
  state_->Open();
  if (!state_->index) return result;
  // A return address may be the first byte of the next function or line (a call that never
  // returns ends its function), so the call instruction before it is what is named.
  const uint32_t lookup = returnAddress && rva > 0 ? rva - 1 : rva;
  const DwarfLookup found = state_->index->Find(lookup);
  state_->TakeProblems();
  for (const DwarfFrame& frame : found.frames)
    result.frames.push_back(
        {frame.name.empty() ? std::wstring() : DemangledName(frame.name),
         frame.file.empty() ? std::wstring() : text::Utf8ToWide(frame.file.c_str()), frame.line});
  result.hasFunctionStart = found.hasFunction;
  result.functionRva = found.functionEntry;
  return result;
}

bool ModuleSources::hasDwarf() {
  state_->Open();
  return state_->index != nullptr;
}

const std::wstring& ModuleSources::debugFilePath() {
  state_->Open();
  return state_->debugFilePath;
}

const std::vector<std::wstring>& ModuleSources::notes() {
  state_->Open();
  return state_->notes;
}

}  // namespace orlent::debuginfo
