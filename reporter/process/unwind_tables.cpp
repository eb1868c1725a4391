#include "process/unwind_tables.h"

#include "debuginfo/pe_image.h"

namespace orlent {

const debuginfo::CfiTable* UnwindTables::For(const Module& module) {
  auto known = byBase_.find(module.base);
  if (known != byBase_.end()) return known->second->table ? &*known->second->table : nullptr;
  auto loaded = std::make_unique<Loaded>();
  std::wstring error;
  loaded->file = debuginfo::MappedFile::Open(module.path, &error);
  if (loaded->file) {
    if (std::optional<debuginfo::PeImage> image = debuginfo::PeImage::Parse(loaded->file->bytes())) {
      for (const bool ehFrame : {true, false}) {
        const debuginfo::PeSection* section = image->Section(ehFrame ? ".eh_frame" : ".debug_frame");
        if (section == nullptr) continue;
        debuginfo::CfiTable::Placement placement;
        placement.sectionAddress = module.base + section->rva;
        placement.preferredBase = image->imageBase();
        placement.loadedBase = module.base;
        debuginfo::CfiTable table =
            debuginfo::CfiTable::Parse(image->SectionData(*section), ehFrame, placement);
        if (table.size() != 0) {
          loaded->table = std::move(table);
          break;
        }
      }
    }
  }
  if (!loaded->table) loaded->file.reset();
  const debuginfo::CfiTable* table = loaded->table ? &*loaded->table : nullptr;
  byBase_.emplace(module.base, std::move(loaded));
  return table;
}

UnwindTables& ReportUnwindTables() {
  static UnwindTables tables;
  return tables;
}

}  // namespace orlent
