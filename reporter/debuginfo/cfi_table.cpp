#include "debuginfo/cfi_table.h"

#include <algorithm>
#include <map>

namespace orlent::debuginfo {
namespace {

// DW_EH_PE_* pointer encodings.
constexpr uint8_t kOmit = 0xFF;
constexpr uint8_t kAbsolute = 0x00, kUleb = 0x01, kUdata2 = 0x02, kUdata4 = 0x03,
                  kUdata8 = 0x04, kSleb = 0x09, kSdata2 = 0x0A, kSdata4 = 0x0B, kSdata8 = 0x0C;
constexpr uint8_t kPcRelative = 0x10, kDataRelative = 0x30;
constexpr uint8_t kIndirect = 0x80;

constexpr size_t kMaxRecords = 1 << 20;
constexpr uint64_t kDebugFrameCieId = 0xFFFFFFFFu;

// A pointer as .eh_frame encodes it; false for encodings that cannot be placed.
bool ReadEncoded(ByteCursor* cursor, uint8_t encoding, uint32_t sectionAddress,
                 uint32_t* value) {
  if (encoding == kOmit) return false;
  const uint32_t fieldAddress = sectionAddress + static_cast<uint32_t>(cursor->offset());
  uint64_t raw = 0;
  switch (encoding & 0x0F) {
    case kAbsolute: case kUdata4: raw = cursor->U32(); break;
    case kUleb: raw = cursor->Uleb(); break;
    case kUdata2: raw = cursor->U16(); break;
    case kUdata8: raw = cursor->U64(); break;
    case kSleb: raw = static_cast<uint64_t>(cursor->Sleb()); break;
    case kSdata2: raw = static_cast<uint64_t>(int64_t{static_cast<int16_t>(cursor->U16())}); break;
    case kSdata4: raw = static_cast<uint64_t>(int64_t{static_cast<int32_t>(cursor->U32())}); break;
    case kSdata8: raw = cursor->U64(); break;
    default: return false;
  }
  if (!cursor->ok()) return false;
  switch (encoding & 0x70) {
    case 0: break;
    case kPcRelative: raw += fieldAddress; break;
    case kDataRelative: raw += sectionAddress; break;
    default: return false;  // text- and function-relative: not written by GCC for PE
  }
  if (encoding & kIndirect) return false;  // would need the process's data
  *value = static_cast<uint32_t>(raw);
  return true;
}

// The length of the value an encoding writes, for skipping an LSDA pointer.
bool SkipEncoded(ByteCursor* cursor, uint8_t encoding) {
  uint32_t ignored = 0;
  return encoding == kOmit || ReadEncoded(cursor, encoding & 0x0F, 0, &ignored);
}

bool ParseCommon(ByteCursor cursor, bool ehFrame, CfiCommon* common) {
  const uint8_t version = cursor.U8();
  if (version != 1 && version != 3 && version != 4) return false;
  const std::string_view augmentation = cursor.CString();
  if (!cursor.ok()) return false;
  if (version == 4) {
    if (cursor.U8() != 4) return false;  // address size: only i386 here
    cursor.U8();                         // segment selector size
  }
  common->codeAlignment = cursor.Uleb();
  common->dataAlignment = cursor.Sleb();
  common->returnAddressRegister =
      version == 1 ? cursor.U8() : static_cast<uint32_t>(cursor.Uleb());
  if (!cursor.ok()) return false;
  common->pointerEncoding = ehFrame ? kAbsolute : kUdata4;
  if (!augmentation.empty() && augmentation[0] == 'z') {
    common->augmented = true;
    const uint64_t length = cursor.Uleb();
    ByteCursor data(cursor.Take(length));
    if (!cursor.ok()) return false;
    for (char letter : augmentation.substr(1)) {
      switch (letter) {
        case 'R': common->pointerEncoding = data.U8(); break;
        case 'L': data.U8(); break;
        case 'P': {
          const uint8_t encoding = data.U8();
          if (!SkipEncoded(&data, encoding & ~kIndirect)) return false;
          break;
        }
        case 'S': common->signalFrame = true; break;
        default: return false;  // an augmentation we do not know changes the layout
      }
      if (!data.ok()) return false;
    }
  } else if (augmentation == "eh") {
    cursor.U32();  // the old GCC exception table pointer
  } else if (!augmentation.empty()) {
    return false;
  }
  common->initialInstructions = cursor.Take(cursor.remaining());
  return cursor.ok();
}

}  // namespace

CfiTable CfiTable::Parse(ByteSpan section, bool ehFrame, const Placement& placement) {
  CfiTable table;
  std::map<uint64_t, uint32_t> commonAt;  // by offset in the section
  const int64_t slide = int64_t{placement.loadedBase} - int64_t{placement.preferredBase};
  ByteCursor cursor(section);
  auto fail = [&](const char* why) {
    table.problem_ = std::string(why) + " at offset " + std::to_string(cursor.offset());
  };
  auto commonFor = [&](uint64_t offset) -> std::optional<uint32_t> {
    auto known = commonAt.find(offset);
    if (known != commonAt.end()) return known->second;
    ByteCursor at(section, offset);
    const uint64_t length = at.U32();
    if (length == 0 || length == 0xFFFFFFFFu) return std::nullopt;
    ByteCursor body(at.Take(length));
    const uint64_t id = body.U32();
    if (!at.ok() || id != (ehFrame ? 0 : kDebugFrameCieId)) return std::nullopt;
    CfiCommon common;
    if (!ParseCommon(ByteCursor(body.span(), body.offset()), ehFrame, &common))
      return std::nullopt;
    table.commons_.push_back(common);
    const uint32_t index = static_cast<uint32_t>(table.commons_.size() - 1);
    commonAt.emplace(offset, index);
    return index;
  };

  while (!cursor.AtEnd() && table.descriptions_.size() < kMaxRecords) {
      const uint64_t length = cursor.U32();
    if (!cursor.ok()) break;
    if (length == 0) {
      if (ehFrame) break;  // .eh_frame's terminator
      continue;
    }
    if (length == 0xFFFFFFFFu) {
      fail("64-bit call frame records are not read");
      break;
    }
    const uint64_t bodyAt = cursor.offset();
    const ByteSpan body = cursor.Take(length);
    if (!cursor.ok()) {
      fail("a record runs past the section's end");
      break;
    }
    ByteCursor fields(body);
    const uint64_t id = fields.U32();
    const bool isCommon = ehFrame ? id == 0 : id == kDebugFrameCieId;
    if (isCommon) continue;  // parsed when a description refers to it
    // .eh_frame counts back from this field; .debug_frame from the section's start.
    const uint64_t commonOffset = ehFrame ? bodyAt - id : id;
    if (ehFrame && id > bodyAt) {
      fail("a description refers to a common entry before the section");
      break;
    }
    const std::optional<uint32_t> common = commonFor(commonOffset);
    if (!common) {
      fail("a description refers to no usable common entry");
      break;
    }
    const CfiCommon& c = table.commons_[*common];
    // Pointers are placed by where their field lies in the process.
    const uint32_t recordAddress = placement.sectionAddress + static_cast<uint32_t>(bodyAt);
    ByteCursor rest(body, 4);
    uint32_t begin = 0, range = 0;
    const uint8_t encoding = ehFrame ? c.pointerEncoding : kUdata4;
    if (!ReadEncoded(&rest, encoding, recordAddress, &begin) ||
        !ReadEncoded(&rest, encoding & 0x0F, 0, &range)) {
      fail("a description's address range cannot be read");
      break;
    }
    // Absolute addresses were linked for the preferred base; pc-relative ones already sit
    // where the section is loaded.
    if ((encoding & 0x70) != kPcRelative) begin = static_cast<uint32_t>(begin + slide);
    if (c.augmented) rest.Skip(rest.Uleb());  // the description's LSDA pointer and such
    if (!rest.ok()) {
      fail("a description's augmentation data runs past its end");
      break;
    }
    CfiDescription description;
    description.begin = begin;
    description.end = begin + range;
    description.common = *common;
    description.instructions = rest.Take(rest.remaining());
    if (description.end > description.begin) table.descriptions_.push_back(description);
  }
  std::sort(table.descriptions_.begin(), table.descriptions_.end(),
            [](const CfiDescription& a, const CfiDescription& b) { return a.begin < b.begin; });
  return table;
}

const CfiDescription* CfiTable::Find(uint32_t address) const {
  auto after = std::upper_bound(
      descriptions_.begin(), descriptions_.end(), address,
      [](uint32_t a, const CfiDescription& d) { return a < d.begin; });
  if (after == descriptions_.begin()) return nullptr;
  const CfiDescription& candidate = *(after - 1);
  return address < candidate.end ? &candidate : nullptr;
}

}  // namespace orlent::debuginfo
