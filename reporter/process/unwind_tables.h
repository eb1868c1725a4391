// Each module's call frame information, read from its file the first time a frame falls in
// it and kept for the rest of the report (a reporter process writes one report).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>

#include "debuginfo/cfi_table.h"
#include "debuginfo/mapped_file.h"
#include "process/modules.h"

namespace orlent {

class UnwindTables {
 public:
  // The module's table, or null when its file has no .eh_frame or .debug_frame (or cannot
  // be read).
  const debuginfo::CfiTable* For(const Module& module);

 private:
  struct Loaded {
    std::optional<debuginfo::MappedFile> file;  // the table's spans point into it
    std::optional<debuginfo::CfiTable> table;
  };
  std::map<uint32_t, std::unique_ptr<Loaded>> byBase_;
};

// The tables every walk of this report shares.
UnwindTables& ReportUnwindTables();

}  // namespace orlent
