// A module's DWARF as an index from addresses to function, file, line and inlined calls. The
// units' headers and their own DIEs are read on first use; a unit's functions and line table
// only when one of its addresses is looked up. Every step is bounded in count and time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "debuginfo/dwarf_functions.h"
#include "debuginfo/dwarf_line.h"
#include "debuginfo/dwarf_sections.h"

namespace orlent::debuginfo {

struct DwarfLimits {
  size_t maxUnits = 1 << 18;
  size_t maxRowsPerUnit = 1 << 22;
  size_t maxDiesPerUnit = 1 << 22;
  unsigned maxDepth = 128;
  unsigned maxNameHops = 8;
  std::chrono::milliseconds timeBudget{1500};  // for the whole module, from the first lookup
};

// One frame of a lookup's chain, as the DWARF spells it (names not yet demangled).
struct DwarfFrame {
  std::string_view name;    // the linkage name where there is one, else the plain name
  std::string file;
  uint32_t line = 0;
};

struct DwarfLookup {
  std::vector<DwarfFrame> frames;  // innermost first, the out-of-line function last
  bool hasFunction = false;        // frames.back() is a function the DWARF describes
  uint32_t functionEntry = 0;
};

class DwarfIndex {
 public:
  DwarfIndex(DwarfSections sections, DwarfLimits limits = {});

  DwarfLookup Find(uint32_t rva);

  // Faults met so far (a unit that could not be read, the time budget spent), for the report.
  const std::vector<std::string>& problems() const { return problems_; }
  size_t unitCount() const { return units_.size(); }

 private:
  struct Unit {
    UnitHeader header;
    bool dieRead = false;
    bool dieOk = false;
    UnitDie die;
    bool inAranges = false;
    bool functionsRead = false;
    std::unique_ptr<UnitFunctions> functions;
    bool linesRead = false;
    std::unique_ptr<LineTable> lines;
  };

  void ReadUnits();
  void ReadAranges();
  // The unit's own DIE (and with it the bases its other DIEs are read with), once.
  bool EnsureDie(Unit* unit);
  const AbbrevTable& Abbrevs(uint64_t offset);
  Unit* UnitAt(uint32_t rva);
  Unit* UnitHolding(uint64_t dieOffset);
  UnitFunctions* Functions(Unit* unit);
  LineTable* Lines(Unit* unit);
  std::string_view NameOf(const DieName& name);
  bool Expired();

  DwarfSections sections_;
  DwarfLimits limits_;
  bool unitsRead_ = false;
  Deadline deadline_{};
  std::vector<Unit> units_;  // by offset
  struct UnitRange {
    uint32_t low, high;
    size_t unit;
  };
  std::vector<UnitRange> unitRanges_;  // sorted by low
  std::map<uint64_t, AbbrevTable> abbrevs_;
  std::map<uint64_t, std::string_view> names_;  // resolved names by DIE offset
  std::vector<std::string> problems_;
  bool reportedExpiry_ = false;
};

}  // namespace orlent::debuginfo
