#include "debuginfo/dwarf_abbrev.h"

#include <algorithm>

namespace orlent::debuginfo {
namespace {

constexpr size_t kMaxAbbrevs = 1 << 16;
constexpr size_t kMaxAttributes = 256;
constexpr uint16_t kFormImplicitConst = 0x21;

}  // namespace

AbbrevTable AbbrevTable::Parse(ByteSpan section, uint64_t offset) {
  AbbrevTable table;
  ByteCursor at(section, offset);
  while (at.ok()) {
    const uint64_t code = at.Uleb();
    if (!at.ok()) return {};
    if (code == 0) break;
    if (table.abbrevs_.size() >= kMaxAbbrevs) return {};
    Abbrev abbrev;
    abbrev.code = code;
    const uint64_t tag = at.Uleb();
    abbrev.hasChildren = at.U8() != 0;
    if (tag > 0xFFFF) return {};
    abbrev.tag = static_cast<uint16_t>(tag);
    for (;;) {
      const uint64_t name = at.Uleb();
      const uint64_t form = at.Uleb();
      if (!at.ok() || name > 0xFFFF || form > 0xFFFF) return {};
      if (name == 0 && form == 0) break;
      AbbrevAttribute attribute;
      attribute.name = static_cast<uint16_t>(name);
      attribute.form = static_cast<uint16_t>(form);
      if (form == kFormImplicitConst) attribute.implicitConst = at.Sleb();
      if (abbrev.attributes.size() >= kMaxAttributes) return {};
      abbrev.attributes.push_back(attribute);
    }
    table.abbrevs_.push_back(std::move(abbrev));
  }
  if (!at.ok()) return {};
  std::stable_sort(table.abbrevs_.begin(), table.abbrevs_.end(),
                   [](const Abbrev& a, const Abbrev& b) { return a.code < b.code; });
  for (size_t i = 0; i < table.abbrevs_.size(); ++i)
    if (table.abbrevs_[i].code != i + 1) table.dense_ = false;
  table.ok_ = true;
  return table;
}

const Abbrev* AbbrevTable::Find(uint64_t code) const {
  if (dense_) return code >= 1 && code <= abbrevs_.size() ? &abbrevs_[code - 1] : nullptr;
  auto found = std::lower_bound(abbrevs_.begin(), abbrevs_.end(), code,
                                [](const Abbrev& a, uint64_t c) { return a.code < c; });
  return found != abbrevs_.end() && found->code == code ? &*found : nullptr;
}

}  // namespace orlent::debuginfo
