#include "debuginfo/dwarf_index.h"

#include <algorithm>

namespace orlent::debuginfo {

DwarfIndex::DwarfIndex(DwarfSections sections, DwarfLimits limits)
    : sections_(sections), limits_(limits) {}

bool DwarfIndex::Expired() {
  if (std::chrono::steady_clock::now() <= deadline_) return false;
  if (!reportedExpiry_) problems_.push_back("the time for reading this module's DWARF ran out");
  reportedExpiry_ = true;
  return true;
}

const AbbrevTable& DwarfIndex::Abbrevs(uint64_t offset) {
  auto found = abbrevs_.find(offset);
  if (found == abbrevs_.end())
    found = abbrevs_.emplace(offset, AbbrevTable::Parse(sections_.abbrev, offset)).first;
  return found->second;
}

bool DwarfIndex::EnsureDie(Unit* unit) {
  if (unit->dieRead) return unit->dieOk;
  unit->dieRead = true;
  const AbbrevTable& abbrevs = Abbrevs(unit->header.abbrevOffset);
  unit->dieOk = abbrevs.ok() && ReadUnitDie(sections_, abbrevs, &unit->header, &unit->die);
  if (!unit->dieOk)
    problems_.push_back("the unit at .debug_info+" + std::to_string(unit->header.offset) +
                        " cannot be read");
  return unit->dieOk;
}

// .debug_aranges says which unit holds which addresses without reading the units: only the
// units that frames fall in then have their abbreviations and DIEs read.
void DwarfIndex::ReadAranges() {
  ByteCursor at(sections_.aranges);
  while (at.ok() && !at.AtEnd()) {
    const uint64_t setAt = at.offset();
    const uint32_t length = at.U32();
    if (!at.ok() || length == 0 || length >= 0xFFFFFFF0u || length > at.remaining()) return;
    const uint64_t end = at.offset() + length;
    at.U16();  // version
    const uint32_t unitOffset = at.U32();
    const uint8_t size = at.U8();
    at.U8();  // segment selector size
    if (!at.ok() || (size != 4 && size != 8)) return;
    at.Seek(setAt + ((at.offset() - setAt + 2 * size - 1) / (2 * size)) * (2 * size));
    Unit* unit = UnitHolding(unitOffset);
    if (unit != nullptr && unit->header.offset == unitOffset) {
      unit->inAranges = true;
      const size_t index = static_cast<size_t>(unit - units_.data());
      while (at.ok() && at.offset() + 2 * size <= end) {
        const uint64_t address = at.Fixed(size);
        const uint64_t span = at.Fixed(size);
        if (address == 0 && span == 0) break;
        const std::optional<uint32_t> low = ToRva(sections_, address);
        const std::optional<uint32_t> last = span != 0 ? ToRva(sections_, address + span - 1)
                                                       : std::nullopt;
        if (low && last) unitRanges_.push_back({*low, *last + 1, index});
      }
    }
    at.Seek(end);
  }
}

void DwarfIndex::ReadUnits() {
  unitsRead_ = true;
  deadline_ = std::chrono::steady_clock::now() + limits_.timeBudget;
  uint64_t offset = 0;
  while (offset < sections_.info.size && units_.size() < limits_.maxUnits) {
    Unit unit;
    const UnitHeaderStatus status = ReadUnitHeader(sections_.info, offset, &unit.header);
    if (status == UnitHeaderStatus::kStop) {
      problems_.push_back("a unit at .debug_info+" + std::to_string(offset) +
                          " has no readable header");
      break;
    }
    offset = unit.header.end;
    if (status == UnitHeaderStatus::kOk) units_.push_back(std::move(unit));
  }
  ReadAranges();
  // Units that .debug_aranges leaves out say their ranges in their own DIE.
  for (size_t i = 0; i < units_.size() && !Expired(); ++i) {
    if (units_[i].inAranges || !EnsureDie(&units_[i])) continue;
    for (const RvaRange& r : units_[i].die.ranges) unitRanges_.push_back({r.low, r.high, i});
  }
  std::sort(unitRanges_.begin(), unitRanges_.end(),
            [](const UnitRange& a, const UnitRange& b) { return a.low < b.low; });
}

DwarfIndex::Unit* DwarfIndex::UnitAt(uint32_t rva) {
  auto after = std::upper_bound(unitRanges_.begin(), unitRanges_.end(), rva,
                                [](uint32_t value, const UnitRange& r) { return value < r.low; });
  // Units' ranges do not overlap in a linked image, but a unit's range list may be one big
  // range over another's code: the smallest range holding the address wins.
  const UnitRange* best = nullptr;
  for (int looked = 0; after != unitRanges_.begin() && looked < 64; ++looked) {
    --after;
    if (rva < after->high && (best == nullptr || after->high - after->low < best->high - best->low))
      best = &*after;
  }
  return best != nullptr ? &units_[best->unit] : nullptr;
}

DwarfIndex::Unit* DwarfIndex::UnitHolding(uint64_t dieOffset) {
  auto after =
      std::upper_bound(units_.begin(), units_.end(), dieOffset,
                       [](uint64_t value, const Unit& u) { return value < u.header.offset; });
  if (after == units_.begin()) return nullptr;
  Unit* unit = &*(after - 1);
  return dieOffset < unit->header.end ? unit : nullptr;
}

UnitFunctions* DwarfIndex::Functions(Unit* unit) {
  if (!unit->functionsRead && EnsureDie(unit) && !Expired()) {
    unit->functionsRead = true;
    unit->functions = std::make_unique<UnitFunctions>(
        UnitFunctions::Parse(sections_, Abbrevs(unit->header.abbrevOffset), unit->header, deadline_,
                             limits_.maxDiesPerUnit, limits_.maxDepth));
    if (!unit->functions->complete())
      problems_.push_back("the functions of the unit at .debug_info+" +
                          std::to_string(unit->header.offset) + " were read only in part");
  }
  return unit->functions.get();
}

LineTable* DwarfIndex::Lines(Unit* unit) {
  if (!unit->linesRead && EnsureDie(unit) && unit->die.hasStmtList && !Expired()) {
    unit->linesRead = true;
    unit->lines = std::make_unique<LineTable>(
        LineTable::Parse(sections_, unit->die.stmtList, unit->header.bases.addressSize,
                         unit->die.compDir, limits_.maxRowsPerUnit));
    if (!unit->lines->ok())
      problems_.push_back("the line table at .debug_line+" + std::to_string(unit->die.stmtList) +
                          " cannot be read");
  }
  return unit->lines.get();
}

std::string_view DwarfIndex::NameOf(const DieName& name) {
  if (!name.linkageName.empty()) return name.linkageName;
  // A concrete instance or a definition outside its class keeps its name on the DIE it points
  // at; that one may point further (an inlined method: instance, abstract instance,
  // declaration). The linkage name is the full one wherever it is found on the way.
  std::string_view plain = name.name;
  uint64_t origin = name.origin;
  std::vector<uint64_t> visited;
  std::string_view found;
  for (unsigned hop = 0; origin != 0 && hop < limits_.maxNameHops; ++hop) {
    auto known = names_.find(origin);
    if (known != names_.end()) {
      found = known->second;
      break;
    }
    visited.push_back(origin);
    Unit* unit = UnitHolding(origin);
    DieName next;
    if (unit == nullptr || !EnsureDie(unit) ||
        !ReadDieName(sections_, Abbrevs(unit->header.abbrevOffset), unit->header, origin, &next))
      break;
    if (!next.linkageName.empty()) {
      found = next.linkageName;
      break;
    }
    if (plain.empty()) plain = next.name;
    origin = next.origin;
  }
  const std::string_view result = found.empty() ? plain : found;
  for (uint64_t offset : visited) names_.emplace(offset, result);
  return result;
}

DwarfLookup DwarfIndex::Find(uint32_t rva) {
  DwarfLookup lookup;
  if (!unitsRead_) ReadUnits();
  Unit* unit = UnitAt(rva);
  if (unit == nullptr) return lookup;
  LineTable* lines = Lines(unit);
  std::optional<LineLocation> row = lines != nullptr ? lines->Find(rva) : std::nullopt;
  DwarfFrame innermost;
  if (row) {
    innermost.file = *row->file;
    innermost.line = row->line;
  }
  UnitFunctions* functions = Functions(unit);
  const uint32_t function =
      functions != nullptr ? functions->FunctionAt(rva) : UnitFunctions::kNone;
  if (function == UnitFunctions::kNone) {
    if (row) lookup.frames.push_back(std::move(innermost));
    return lookup;
  }
  lookup.hasFunction = true;
  lookup.functionEntry = functions->functions()[function].entry;
  uint32_t call = functions->InlineAt(function, rva);
  innermost.name = call == UnitFunctions::kNone ? NameOf(functions->functions()[function].name)
                                                : NameOf(functions->inlines()[call].name);
  lookup.frames.push_back(std::move(innermost));
  // Each inlined call names the line in its caller that made it.
  for (unsigned depth = 0; call != UnitFunctions::kNone && depth < limits_.maxDepth; ++depth) {
    const UnitFunctions::Inline& inlined = functions->inlines()[call];
    DwarfFrame caller;
    const uint32_t parent = inlined.parent;
    caller.name = parent == UnitFunctions::kNone ? NameOf(functions->functions()[function].name)
                                                 : NameOf(functions->inlines()[parent].name);
    if (lines != nullptr)
      if (const std::string* file = lines->File(inlined.callFile)) caller.file = *file;
    caller.line = inlined.callLine;
    lookup.frames.push_back(std::move(caller));
    call = parent;
  }
  return lookup;
}

}  // namespace orlent::debuginfo
