#include "debuginfo/module_sources.h"

namespace orlent::debuginfo {

struct ModuleSources::State {
  ModuleKey key;
  std::vector<std::wstring> symbolPath;
  bool storeOnly = false;
  bool opened = false;
  std::optional<DebugFile> debugFile;
  std::wstring debugFilePath;
  std::vector<std::wstring> notes;

  void Open() {
    if (opened) return;
    opened = true;
    LocateResult located = storeOnly ? LocateInSymbolPath(key, nullptr, symbolPath)
                                     : LocateDebugFile(key, symbolPath);
    notes = std::move(located.refused);
    if (located.found) {
      debugFilePath = located.found->path;
      debugFile = std::move(located.found);
    }
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

SourceLookup ModuleSources::Describe(uint32_t, bool) {
  state_->Open();
  return {};
}

bool ModuleSources::hasDwarf() {
  state_->Open();
  return state_->debugFile.has_value();
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
