#include "debuginfo/dwarf_unit.h"

namespace orlent::debuginfo {
namespace {

constexpr uint32_t k64BitDwarf = 0xFFFFFFFFu;
constexpr uint32_t kFirstReservedLength = 0xFFFFFFF0u;
constexpr unsigned kMaxIndirections = 4;

// DW_UT_*
enum : uint8_t {
  kUtCompile = 1,
  kUtType = 2,
  kUtPartial = 3,
  kUtSkeleton = 4,
  kUtSplitCompile = 5,
  kUtSplitType = 6,
};

// DW_FORM_*
enum : uint16_t {
  kFormAddr = 0x01,
  kFormBlock2 = 0x03,
  kFormBlock4 = 0x04,
  kFormData2 = 0x05,
  kFormData4 = 0x06,
  kFormData8 = 0x07,
  kFormString = 0x08,
  kFormBlock = 0x09,
  kFormBlock1 = 0x0a,
  kFormData1 = 0x0b,
  kFormFlag = 0x0c,
  kFormSdata = 0x0d,
  kFormStrp = 0x0e,
  kFormUdata = 0x0f,
  kFormRefAddr = 0x10,
  kFormRef1 = 0x11,
  kFormRef2 = 0x12,
  kFormRef4 = 0x13,
  kFormRef8 = 0x14,
  kFormRefUdata = 0x15,
  kFormIndirect = 0x16,
  kFormSecOffset = 0x17,
  kFormExprloc = 0x18,
  kFormFlagPresent = 0x19,
  kFormStrx = 0x1a,
  kFormAddrx = 0x1b,
  kFormRefSup4 = 0x1c,
  kFormStrpSup = 0x1d,
  kFormData16 = 0x1e,
  kFormLineStrp = 0x1f,
  kFormRefSig8 = 0x20,
  kFormImplicitConst = 0x21,
  kFormLoclistx = 0x22,
  kFormRnglistx = 0x23,
  kFormRefSup8 = 0x24,
  kFormStrx1 = 0x25,
  kFormStrx2 = 0x26,
  kFormStrx3 = 0x27,
  kFormStrx4 = 0x28,
  kFormAddrx1 = 0x29,
  kFormAddrx2 = 0x2a,
  kFormAddrx3 = 0x2b,
  kFormAddrx4 = 0x2c,
  kFormGnuAddrIndex = 0x1f01,
  kFormGnuStrIndex = 0x1f02,
  kFormGnuRefAlt = 0x1f20,
  kFormGnuStrpAlt = 0x1f21,
};

using Kind = AttributeValue::Kind;

void Set(AttributeValue* value, Kind kind, uint64_t number) {
  value->kind = kind;
  value->number = number;
}

void SetString(AttributeValue* value, std::string_view text) {
  value->kind = Kind::kString;
  value->text = text;
}

// A reference within the unit, as an offset in .debug_info; one outside the unit is dropped.
void SetUnitReference(AttributeValue* value, const UnitHeader& unit, uint64_t relative) {
  if (relative < unit.end - unit.offset) Set(value, Kind::kReference, unit.offset + relative);
}

}  // namespace

UnitHeaderStatus ReadUnitHeader(ByteSpan info, uint64_t offset, UnitHeader* header) {
  ByteCursor at(info, offset);
  const uint32_t length = at.U32();
  if (!at.ok() || length == 0) return UnitHeaderStatus::kStop;
  *header = UnitHeader();
  header->offset = offset;
  if (length == k64BitDwarf) {
    // 64-bit DWARF has no place in a 32-bit module; its length still says where it ends.
    const uint64_t length64 = at.U64();
    if (!at.ok() || length64 > at.remaining()) return UnitHeaderStatus::kStop;
    header->end = at.offset() + length64;
    return UnitHeaderStatus::kSkip;
  }
  if (length >= kFirstReservedLength || length > at.remaining()) return UnitHeaderStatus::kStop;
  header->end = at.offset() + length;
  const uint16_t version = at.U16();
  header->bases.version = version;
  if (version < 2 || version > 5)
    return at.ok() ? UnitHeaderStatus::kSkip : UnitHeaderStatus::kStop;
  if (version == 5) {
    header->unitType = at.U8();
    header->bases.addressSize = at.U8();
    header->abbrevOffset = at.U32();
    switch (header->unitType) {
      case kUtCompile:
      case kUtPartial: break;
      case kUtSkeleton:
      case kUtSplitCompile: at.Skip(8); break;  // dwo_id
      case kUtType:
      case kUtSplitType: return UnitHeaderStatus::kSkip;
      default: return UnitHeaderStatus::kSkip;
    }
  } else {
    header->unitType = kUtCompile;
    header->abbrevOffset = at.U32();
    header->bases.addressSize = at.U8();
  }
  if (!at.ok() || at.offset() > header->end) return UnitHeaderStatus::kStop;
  const uint8_t size = header->bases.addressSize;
  if (size != 4 && size != 8) return UnitHeaderStatus::kSkip;
  header->diesOffset = at.offset();
  return UnitHeaderStatus::kOk;
}

bool ReadAttribute(ByteCursor* at, const AbbrevAttribute& attribute, const UnitHeader& unit,
                   const DwarfSections& s, AttributeValue* value) {
  *value = AttributeValue();
  uint16_t form = attribute.form;
  for (unsigned indirection = 0; form == kFormIndirect; ++indirection) {
    const uint64_t actual = at->Uleb();
    if (indirection >= kMaxIndirections || actual > 0xFFFF) {
      at->Skip(at->remaining() + 1);
      return false;
    }
    form = static_cast<uint16_t>(actual);
  }
  value->form = form;
  const UnitBases& bases = unit.bases;
  switch (form) {
    case kFormAddr: Set(value, Kind::kAddress, at->Fixed(bases.addressSize)); break;
    case kFormData1: Set(value, Kind::kUnsigned, at->U8()); break;
    case kFormData2: Set(value, Kind::kUnsigned, at->U16()); break;
    case kFormData4: Set(value, Kind::kUnsigned, at->U32()); break;
    case kFormData8: Set(value, Kind::kUnsigned, at->U64()); break;
    case kFormData16: at->Skip(16); break;
    case kFormUdata: Set(value, Kind::kUnsigned, at->Uleb()); break;
    case kFormSdata: Set(value, Kind::kSigned, static_cast<uint64_t>(at->Sleb())); break;
    case kFormImplicitConst:
      Set(value, Kind::kSigned, static_cast<uint64_t>(attribute.implicitConst));
      break;
    case kFormFlag: Set(value, Kind::kUnsigned, at->U8()); break;
    case kFormFlagPresent: Set(value, Kind::kUnsigned, 1); break;
    case kFormSecOffset: Set(value, Kind::kUnsigned, at->U32()); break;
    case kFormBlock1: at->Skip(at->U8()); break;
    case kFormBlock2: at->Skip(at->U16()); break;
    case kFormBlock4: at->Skip(at->U32()); break;
    case kFormBlock:
    case kFormExprloc: at->Skip(at->Uleb()); break;
    case kFormString: SetString(value, at->CString()); break;
    case kFormStrp: SetString(value, StringAt(s.str, at->U32())); break;
    case kFormLineStrp: SetString(value, StringAt(s.lineStr, at->U32())); break;
    case kFormStrx:
    case kFormGnuStrIndex: SetString(value, IndexedString(s, bases, at->Uleb())); break;
    case kFormStrx1: SetString(value, IndexedString(s, bases, at->U8())); break;
    case kFormStrx2: SetString(value, IndexedString(s, bases, at->U16())); break;
    case kFormStrx3: SetString(value, IndexedString(s, bases, at->Fixed(3))); break;
    case kFormStrx4: SetString(value, IndexedString(s, bases, at->U32())); break;
    case kFormAddrx:
    case kFormGnuAddrIndex:
    case kFormAddrx1:
    case kFormAddrx2:
    case kFormAddrx3:
    case kFormAddrx4: {
      const uint64_t index = form == kFormAddrx1   ? at->U8()
                             : form == kFormAddrx2 ? at->U16()
                             : form == kFormAddrx3 ? at->Fixed(3)
                             : form == kFormAddrx4 ? at->U32()
                                                   : at->Uleb();
      if (std::optional<uint64_t> address = IndexedAddress(s, bases, index))
        Set(value, Kind::kAddress, *address);
      break;
    }
    case kFormRef1: SetUnitReference(value, unit, at->U8()); break;
    case kFormRef2: SetUnitReference(value, unit, at->U16()); break;
    case kFormRef4: SetUnitReference(value, unit, at->U32()); break;
    case kFormRef8: SetUnitReference(value, unit, at->U64()); break;
    case kFormRefUdata: SetUnitReference(value, unit, at->Uleb()); break;
    case kFormRefAddr: {
      // DWARF 2 wrote it with the address's size, later versions with the offset's.
      const uint64_t target = at->Fixed(bases.version == 2 ? bases.addressSize : 4);
      if (target < s.info.size) Set(value, Kind::kReference, target);
      break;
    }
    case kFormRefSig8:
    case kFormRefSup8: at->Skip(8); break;  // type units and supplementary files: not read
    case kFormRefSup4:
    case kFormStrpSup:
    case kFormGnuRefAlt:
    case kFormGnuStrpAlt: at->Skip(4); break;
    case kFormLoclistx: at->Uleb(); break;
    case kFormRnglistx: Set(value, Kind::kRangesIndex, at->Uleb()); break;
    default:
      at->Skip(at->remaining() + 1);  // unknown size: nothing after it can be read
      return false;
  }
  return at->ok();
}

}  // namespace orlent::debuginfo
