// A unit's abbreviation table: for each code, the tag of the DIEs that use it, whether they
// have children, and the attributes with their forms.
#pragma once

#include <cstdint>
#include <vector>

#include "debuginfo/byte_cursor.h"

namespace orlent::debuginfo {

struct AbbrevAttribute {
  uint16_t name = 0;  // DW_AT_*
  uint16_t form = 0;  // DW_FORM_*
  int64_t implicitConst = 0;
};

struct Abbrev {
  uint64_t code = 0;
  uint16_t tag = 0;
  bool hasChildren = false;
  std::vector<AbbrevAttribute> attributes;
};

class AbbrevTable {
 public:
  // The table at `offset` of .debug_abbrev; an empty table (every code unknown) on a fault.
  static AbbrevTable Parse(ByteSpan section, uint64_t offset);

  const Abbrev* Find(uint64_t code) const;
  size_t size() const { return abbrevs_.size(); }
  bool ok() const { return ok_; }

 private:
  std::vector<Abbrev> abbrevs_;  // sorted by code
  bool dense_ = true;            // abbrevs_[i].code == i + 1, as compilers write them
  bool ok_ = false;
};

}  // namespace orlent::debuginfo
