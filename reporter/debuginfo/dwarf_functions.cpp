#include "debuginfo/dwarf_functions.h"

#include <algorithm>

namespace orlent::debuginfo {
namespace {

constexpr size_t kMaxRangesPerDie = 1024;
constexpr size_t kDiesBetweenClockChecks = 4096;

using Kind = AttributeValue::Kind;

// The attributes of one DIE that naming uses.
struct DieFacts {
  DieName name;
  bool hasLowPc = false;
  uint64_t lowPc = 0;
  bool hasHighPc = false;
  bool highPcIsOffset = false;
  uint64_t highPc = 0;
  bool hasRanges = false;
  bool rangesIsIndex = false;
  uint64_t ranges = 0;
  bool hasEntryPc = false;
  uint64_t entryPc = 0;
  uint64_t callFile = 0;
  uint32_t callLine = 0;
  bool hasStmtList = false;
  uint64_t stmtList = 0;
  std::string_view compDir;
  // Bases, for the unit DIE only.
  bool hasStrOffsetsBase = false, hasAddrBase = false, hasRnglistsBase = false;
  uint64_t strOffsetsBase = 0, addrBase = 0, rnglistsBase = 0;
};

bool ReadFacts(ByteCursor* at, const Abbrev& abbrev, const UnitHeader& unit, const DwarfSections& s,
               DieFacts* facts) {
  uint64_t declaration = 0, abstractOrigin = 0;
  for (const AbbrevAttribute& attribute : abbrev.attributes) {
    AttributeValue v;
    if (!ReadAttribute(at, attribute, unit, s, &v)) return false;
    switch (attribute.name) {
      case kAtName:
        if (v.kind == Kind::kString) facts->name.name = v.text;
        break;
      case kAtLinkageName:
      case kAtMipsLinkageName:
        if (v.kind == Kind::kString) facts->name.linkageName = v.text;
        break;
      case kAtLowPc:
        if (v.kind == Kind::kAddress) facts->hasLowPc = true, facts->lowPc = v.number;
        break;
      case kAtHighPc:
        if (v.kind == Kind::kAddress || v.isConstant()) {
          facts->hasHighPc = true;
          facts->highPcIsOffset = v.kind != Kind::kAddress;
          facts->highPc = v.number;
        }
        break;
      case kAtRanges:
        if (v.kind == Kind::kUnsigned || v.kind == Kind::kRangesIndex) {
          facts->hasRanges = true;
          facts->rangesIsIndex = v.kind == Kind::kRangesIndex;
          facts->ranges = v.number;
        }
        break;
      case kAtEntryPc:
        if (v.kind == Kind::kAddress) facts->hasEntryPc = true, facts->entryPc = v.number;
        break;
      case kAtDeclarationRef:
        if (v.kind == Kind::kReference) declaration = v.number;
        break;
      case kAtAbstractOrigin:
        if (v.kind == Kind::kReference) abstractOrigin = v.number;
        break;
      case kAtCallFile:
        if (v.isConstant()) facts->callFile = v.number;
        break;
      case kAtCallLine:
        if (v.isConstant())
          facts->callLine = static_cast<uint32_t>(std::min<uint64_t>(v.number, 0x7FFFFFFF));
        break;
      case kAtStmtList:
        if (v.kind == Kind::kUnsigned) facts->hasStmtList = true, facts->stmtList = v.number;
        break;
      case kAtCompDir:
        if (v.kind == Kind::kString) facts->compDir = v.text;
        break;
      case kAtStrOffsetsBase:
        if (v.kind == Kind::kUnsigned)
          facts->hasStrOffsetsBase = true, facts->strOffsetsBase = v.number;
        break;
      case kAtAddrBase:
      case kAtGnuAddrBase:
        if (v.kind == Kind::kUnsigned) facts->hasAddrBase = true, facts->addrBase = v.number;
        break;
      case kAtRnglistsBase:
      case kAtGnuRangesBase:
        if (v.kind == Kind::kUnsigned)
          facts->hasRnglistsBase = true, facts->rnglistsBase = v.number;
        break;
      default: break;
    }
  }
  facts->name.origin = abstractOrigin != 0 ? abstractOrigin : declaration;
  return true;
}

std::vector<RvaRange> CodeRanges(const DwarfSections& s, const UnitBases& bases,
                                 const DieFacts& facts) {
  if (facts.hasRanges)
    return ReadRanges(s, bases, facts.ranges, facts.rangesIsIndex, kMaxRangesPerDie);
  std::vector<RvaRange> ranges;
  if (!facts.hasLowPc || !facts.hasHighPc) return ranges;
  const uint64_t high = facts.highPcIsOffset ? facts.lowPc + facts.highPc : facts.highPc;
  const std::optional<uint32_t> low = ToRva(s, facts.lowPc);
  const std::optional<uint32_t> last = high > facts.lowPc ? ToRva(s, high - 1) : std::nullopt;
  if (low && last) ranges.push_back({*low, *last + 1});
  return ranges;
}

}  // namespace

bool ReadUnitDie(const DwarfSections& s, const AbbrevTable& abbrevs, UnitHeader* unit,
                 UnitDie* die) {
  ByteCursor at(s.info.Sub(0, unit->end), unit->diesOffset);
  const Abbrev* abbrev = abbrevs.Find(at.Uleb());
  if (!at.ok() || abbrev == nullptr) return false;
  // Strings given by index need the string offsets base, which may come after them: read the
  // bases first, then the DIE again with them.
  DieFacts facts;
  const uint64_t attributesAt = at.offset();
  if (!ReadFacts(&at, *abbrev, *unit, s, &facts)) return false;
  UnitBases& bases = unit->bases;
  if (facts.hasStrOffsetsBase) bases.strOffsetsBase = facts.strOffsetsBase;
  if (facts.hasAddrBase) bases.addrBase = facts.addrBase;
  if (facts.hasRnglistsBase) bases.rnglistsBase = facts.rnglistsBase;
  at.Seek(attributesAt);
  facts = DieFacts();
  if (!ReadFacts(&at, *abbrev, *unit, s, &facts)) return false;
  if (facts.hasLowPc) bases.baseAddress = facts.lowPc;
  die->tag = abbrev->tag;
  die->ranges = CodeRanges(s, bases, facts);
  die->hasStmtList = facts.hasStmtList;
  die->stmtList = facts.stmtList;
  die->compDir = std::string(facts.compDir);
  die->name = std::string(facts.name.name);
  return true;
}

bool ReadDieName(const DwarfSections& s, const AbbrevTable& abbrevs, const UnitHeader& unit,
                 uint64_t offset, DieName* name) {
  if (offset < unit.diesOffset || offset >= unit.end) return false;
  ByteCursor at(s.info.Sub(0, unit.end), offset);
  const Abbrev* abbrev = abbrevs.Find(at.Uleb());
  if (!at.ok() || abbrev == nullptr) return false;
  DieFacts facts;
  if (!ReadFacts(&at, *abbrev, unit, s, &facts)) return false;
  *name = facts.name;
  return true;
}

UnitFunctions UnitFunctions::Parse(const DwarfSections& s, const AbbrevTable& abbrevs,
                                   const UnitHeader& unit, Deadline deadline, size_t maxDies,
                                   unsigned maxDepth) {
  UnitFunctions result;
  // What encloses the DIEs being read: a function, an inlined call, or anything else.
  struct Scope {
    uint32_t function = kNone;
    uint32_t inlined = kNone;
    uint32_t depth = 0;  // of inlined calls
  };
  std::vector<Scope> scopes;
  Scope current;
  ByteCursor at(s.info.Sub(0, unit.end), unit.diesOffset);
  size_t dies = 0;
  bool faulted = false;
  while (!at.AtEnd()) {
    const uint64_t code = at.Uleb();
    if (!at.ok()) {
      faulted = true;
      break;
    }
    if (code == 0) {                 // the end of a DIE's children
      if (scopes.empty()) continue;  // padding after the unit DIE's children
      current = scopes.back();
      scopes.pop_back();
      continue;
    }
    const Abbrev* abbrev = abbrevs.Find(code);
    if (abbrev == nullptr || ++dies > maxDies ||
        (dies % kDiesBetweenClockChecks == 0 && std::chrono::steady_clock::now() > deadline)) {
      faulted = true;
      break;
    }
    DieFacts facts;
    if (!ReadFacts(&at, *abbrev, unit, s, &facts)) {
      faulted = true;
      break;
    }
    Scope inside = current;
    if (abbrev->tag == kTagSubprogram || abbrev->tag == kTagEntryPoint) {
      std::vector<RvaRange> ranges = CodeRanges(s, unit.bases, facts);
      if (!ranges.empty()) {
        const uint32_t index = static_cast<uint32_t>(result.functions_.size());
        Function function;
        function.name = facts.name;
        std::optional<uint32_t> entry;
        if (facts.hasEntryPc) entry = ToRva(s, facts.entryPc);
        if (!entry && facts.hasLowPc) entry = ToRva(s, facts.lowPc);
        function.entry = entry.value_or(ranges.front().low);
        result.functions_.push_back(function);
        for (const RvaRange& r : ranges) result.functionRanges_.push_back({r.low, r.high, index});
        inside = Scope{index, kNone, 0};
      }
    } else if (abbrev->tag == kTagInlinedSubroutine && current.function != kNone) {
      std::vector<RvaRange> ranges = CodeRanges(s, unit.bases, facts);
      if (!ranges.empty()) {
        const uint32_t index = static_cast<uint32_t>(result.inlines_.size());
        Inline call;
        call.name = facts.name;
        call.function = current.function;
        call.parent = current.inlined;
        call.depth = current.depth + 1;
        call.callFile = facts.callFile;
        call.callLine = facts.callLine;
        result.inlines_.push_back(call);
        for (const RvaRange& r : ranges) result.inlineRanges_.push_back({r.low, r.high, index});
        inside = Scope{current.function, index, call.depth};
      }
    }
    if (abbrev->hasChildren) {
      if (scopes.size() >= maxDepth) {
        faulted = true;
        break;
      }
      scopes.push_back(current);
      current = inside;
    }
  }
  std::sort(result.functionRanges_.begin(), result.functionRanges_.end(),
            [](const Range& a, const Range& b) { return a.low < b.low; });
  const std::vector<Inline>& inlines = result.inlines_;
  std::sort(result.inlineRanges_.begin(), result.inlineRanges_.end(),
            [&](const Range& a, const Range& b) {
              const uint32_t fa = inlines[a.owner].function, fb = inlines[b.owner].function;
              return fa != fb ? fa < fb : a.low < b.low;
            });
  result.inlineRangesOf_.assign(result.functions_.size() + 1, 0);
  for (const Range& r : result.inlineRanges_)
    ++result.inlineRangesOf_[inlines[r.owner].function + 1];
  for (size_t i = 1; i < result.inlineRangesOf_.size(); ++i)
    result.inlineRangesOf_[i] += result.inlineRangesOf_[i - 1];
  result.complete_ = !faulted && at.ok();
  return result;
}

uint32_t UnitFunctions::FunctionAt(uint32_t rva) const {
  auto after = std::upper_bound(functionRanges_.begin(), functionRanges_.end(), rva,
                                [](uint32_t value, const Range& r) { return value < r.low; });
  // Ranges of one unit's functions do not overlap, except where a function is nested in
  // another: the smallest range that holds the address is the innermost function.
  uint32_t best = kNone, bestSize = 0;
  for (int looked = 0; after != functionRanges_.begin() && looked < 64; ++looked) {
    --after;
    if (rva < after->high && (best == kNone || after->high - after->low < bestSize)) {
      best = after->owner;
      bestSize = after->high - after->low;
    }
  }
  return best;
}

uint32_t UnitFunctions::InlineAt(uint32_t function, uint32_t rva) const {
  if (function + 1 >= inlineRangesOf_.size()) return kNone;
  uint32_t best = kNone;
  for (uint32_t i = inlineRangesOf_[function]; i < inlineRangesOf_[function + 1]; ++i) {
    const Range& r = inlineRanges_[i];
    if (r.low > rva) break;
    if (rva < r.high && (best == kNone || inlines_[r.owner].depth > inlines_[best].depth))
      best = r.owner;
  }
  return best;
}

}  // namespace orlent::debuginfo
