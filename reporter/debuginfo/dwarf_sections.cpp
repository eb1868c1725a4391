#include "debuginfo/dwarf_sections.h"

namespace orlent::debuginfo {
namespace {

// DW_RLE_*: DWARF 5 range list entries.
enum : uint8_t {
  kRleEndOfList = 0,
  kRleBaseAddressx = 1,
  kRleStartxEndx = 2,
  kRleStartxLength = 3,
  kRleOffsetPair = 4,
  kRleBaseAddress = 5,
  kRleStartEnd = 6,
  kRleStartLength = 7,
};

void AddRange(const DwarfSections& s, uint64_t low, uint64_t high, std::vector<RvaRange>* ranges) {
  if (high <= low) return;
  const std::optional<uint32_t> from = ToRva(s, low);
  const std::optional<uint32_t> to = ToRva(s, high - 1);
  if (from && to) ranges->push_back({*from, *to + 1});
}

std::vector<RvaRange> ReadRangeList(const DwarfSections& s, const UnitBases& bases, uint64_t offset,
                                    size_t limit) {
  std::vector<RvaRange> ranges;
  ByteCursor at(s.ranges, offset);
  const unsigned size = bases.addressSize;
  const uint64_t all = size == 8 ? ~uint64_t{0} : 0xFFFFFFFFull;
  uint64_t base = bases.baseAddress;
  for (size_t n = 0; n < limit * 2 && at.ok() && !at.AtEnd(); ++n) {
    const uint64_t begin = at.Fixed(size);
    const uint64_t end = at.Fixed(size);
    if (!at.ok() || (begin == 0 && end == 0)) break;
    if (begin == all) {
      base = end;
      continue;
    }
    AddRange(s, base + begin, base + end, &ranges);
    if (ranges.size() >= limit) break;
  }
  return ranges;
}

std::vector<RvaRange> ReadRngList(const DwarfSections& s, const UnitBases& bases, uint64_t offset,
                                  size_t limit) {
  std::vector<RvaRange> ranges;
  ByteCursor at(s.rnglists, offset);
  const unsigned size = bases.addressSize;
  uint64_t base = bases.baseAddress;
  auto address = [&](uint64_t index) { return IndexedAddress(s, bases, index).value_or(0); };
  for (size_t n = 0; n < limit * 2 && at.ok(); ++n) {
    const uint8_t kind = at.U8();
    if (!at.ok() || kind == kRleEndOfList) break;
    switch (kind) {
      case kRleBaseAddressx: base = address(at.Uleb()); break;
      case kRleStartxEndx: {
        const uint64_t begin = address(at.Uleb());
        AddRange(s, begin, address(at.Uleb()), &ranges);
        break;
      }
      case kRleStartxLength: {
        const uint64_t begin = address(at.Uleb());
        AddRange(s, begin, begin + at.Uleb(), &ranges);
        break;
      }
      case kRleOffsetPair: {
        const uint64_t begin = at.Uleb();
        AddRange(s, base + begin, base + at.Uleb(), &ranges);
        break;
      }
      case kRleBaseAddress: base = at.Fixed(size); break;
      case kRleStartEnd: {
        const uint64_t begin = at.Fixed(size);
        AddRange(s, begin, at.Fixed(size), &ranges);
        break;
      }
      case kRleStartLength: {
        const uint64_t begin = at.Fixed(size);
        AddRange(s, begin, begin + at.Uleb(), &ranges);
        break;
      }
      default: return ranges;  // an unknown entry cannot be stepped over
    }
    if (ranges.size() >= limit) break;
  }
  return ranges;
}

}  // namespace

DwarfSections DwarfSections::From(const PeImage& image) {
  DwarfSections s;
  s.info = image.SectionData(".debug_info");
  s.abbrev = image.SectionData(".debug_abbrev");
  s.aranges = image.SectionData(".debug_aranges");
  s.line = image.SectionData(".debug_line");
  s.str = image.SectionData(".debug_str");
  s.lineStr = image.SectionData(".debug_line_str");
  s.strOffsets = image.SectionData(".debug_str_offsets");
  s.addr = image.SectionData(".debug_addr");
  s.ranges = image.SectionData(".debug_ranges");
  s.rnglists = image.SectionData(".debug_rnglists");
  s.imageBase = image.imageBase();
  return s;
}

std::string_view StringAt(ByteSpan section, uint64_t offset) {
  ByteCursor at(section, offset);
  const std::string_view text = at.CString();
  return at.ok() ? text : std::string_view();
}

std::string_view IndexedString(const DwarfSections& s, const UnitBases& bases, uint64_t index) {
  if (index > 0xFFFFFFFu) return {};
  ByteCursor at(s.strOffsets, bases.strOffsetsBase + index * 4);
  const uint32_t offset = at.U32();
  return at.ok() ? StringAt(s.str, offset) : std::string_view();
}

std::optional<uint64_t> IndexedAddress(const DwarfSections& s, const UnitBases& bases,
                                       uint64_t index) {
  if (index > 0xFFFFFFFu) return std::nullopt;
  ByteCursor at(s.addr, bases.addrBase + index * bases.addressSize);
  const uint64_t address = at.Fixed(bases.addressSize);
  if (!at.ok()) return std::nullopt;
  return address;
}

std::optional<uint32_t> ToRva(const DwarfSections& s, uint64_t address) {
  if (address < s.imageBase || address - s.imageBase > 0x7FFFFFFFu) return std::nullopt;
  return static_cast<uint32_t>(address - s.imageBase);
}

std::vector<RvaRange> ReadRanges(const DwarfSections& s, const UnitBases& bases, uint64_t value,
                                 bool isIndex, size_t limit) {
  if (bases.version < 5)
    return isIndex ? std::vector<RvaRange>() : ReadRangeList(s, bases, value, limit);
  uint64_t offset = value;
  if (isIndex) {
    // The offsets table after the list's header holds offsets relative to the base.
    ByteCursor at(s.rnglists, bases.rnglistsBase + value * 4);
    const uint32_t relative = at.U32();
    if (!at.ok() || value > 0xFFFFFFFu) return {};
    offset = bases.rnglistsBase + relative;
  }
  return ReadRngList(s, bases, offset, limit);
}

}  // namespace orlent::debuginfo
