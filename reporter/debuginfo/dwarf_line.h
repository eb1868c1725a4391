// A unit's line program (DWARF 2 to 5) run into a table of rows sorted by address: which file
// and line each stretch of code came from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "debuginfo/dwarf_sections.h"

namespace orlent::debuginfo {

struct LineRow {
  uint32_t rva = 0;
  uint32_t line = 0;
  uint32_t file = 0;       // index into LineTable::files
  bool endSequence = false;
};

struct LineLocation {
  const std::string* file = nullptr;
  uint32_t line = 0;
};

class LineTable {
 public:
  // The program at `offset` of .debug_line. `compDir` is the unit's DW_AT_comp_dir, the folder
  // of relative paths in DWARF 2 to 4 (DWARF 5 names it as directory 0). At most `maxRows`
  // rows; a program that runs past its end or past the limit keeps what it had.
  static LineTable Parse(const DwarfSections& sections, uint64_t offset, uint8_t addressSize,
                         const std::string& compDir, size_t maxRows);

  // The row in force at `rva`: the last row at or before it, unless a sequence ended between.
  std::optional<LineLocation> Find(uint32_t rva) const;

  // The file a DW_AT_call_file value names (1-based before DWARF 5, 0-based from it).
  const std::string* File(uint64_t index) const;

  bool ok() const { return ok_; }
  size_t rowCount() const { return rows_.size(); }
  const std::vector<std::string>& files() const { return files_; }

 private:
  std::vector<std::string> files_;  // full paths, as the DWARF file entry index counts them
  bool zeroBasedFiles_ = false;
  std::vector<LineRow> rows_;
  bool ok_ = false;
};

// "dir/name" as GNU tools join them: `name` alone when it is already absolute.
std::string JoinSourcePath(const std::string& folder, const std::string& name);

}  // namespace orlent::debuginfo
