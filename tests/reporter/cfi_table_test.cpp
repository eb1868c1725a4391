#include "debuginfo/cfi_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orlent::debuginfo {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSection = 0x10020000;    // where the section lies in the process
constexpr uint32_t kPreferred = 0x00400000;  // the base the file was linked for
constexpr uint32_t kLoaded = 0x10000000;     // where the process has it (a rebased DLL)
constexpr uint32_t kLinked = 0x00401230;     // the function's address as linked
constexpr uint32_t kRebased = kLinked - kPreferred + kLoaded;
constexpr uint32_t kRange = 0x55;

void Put32(Bytes* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes Le32(uint32_t v) {
  Bytes out;
  Put32(&out, v);
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// One common entry at the section's start and one description after it. `cie` is the
// common entry's body after its id; `address` makes the description's address and range
// fields from the address the first of them has in the process (for pc-relative pointers).
struct Layout {
  const char* name;
  bool ehFrame;
  Bytes cie;
  Bytes (*address)(uint32_t fieldAddress);
  Bytes augmentation;  // the description's augmentation data, length included
  uint32_t begin;      // expected, in the process; 0: the table must refuse the records
  uint32_t returnRegister;
  bool signalFrame;
};

Bytes Section(const Layout& layout) {
  const Bytes cieId = layout.ehFrame ? Le32(0) : Le32(0xFFFFFFFFu);
  const Bytes cie = Cat({cieId, layout.cie});
  Bytes out = Cat({Le32(static_cast<uint32_t>(cie.size())), cie});
  const uint32_t idAt = static_cast<uint32_t>(out.size() + 4);
  const Bytes fdeId = layout.ehFrame ? Le32(idAt) : Le32(0);
  const Bytes fields = layout.address(kSection + idAt + 4);
  const Bytes fde = Cat({fdeId, fields, layout.augmentation, {0x41, 0x0E, 8}});
  out = Cat({out, Le32(static_cast<uint32_t>(fde.size())), fde});
  if (layout.ehFrame) Put32(&out, 0);
  return out;
}

Bytes Absolute(uint32_t) { return Cat({Le32(kLinked), Le32(kRange)}); }
Bytes PcRelative(uint32_t field) { return Cat({Le32(kRebased - field), Le32(kRange)}); }
Bytes DataRelative(uint32_t) {
  return Cat({Le32(kRebased - kSection), Le32(kRange)});
}
Bytes Uleb(uint32_t) { return {0xB0, 0xA4, 0x80, 0x02, kRange}; }  // 0x401230, 0x55
Bytes Sleb(uint32_t) { return {0xB0, 0xA4, 0x80, 0x02, 0xD5, 0x00}; }  // +0x55 needs a 0 byte

// "zR" (or more) followed by code 1, data -4, return address column 8.
const Bytes kZrPcRel = {1, 'z', 'R', 0, 1, 0x7C, 8, 1, 0x1B, 0x0C, 4, 4, 0x88, 1};

TEST(CfiTable, PlacesEveryPointerEncodingModulesUse) {
  const Layout layouts[] = {
      {"zR pcrel sdata4 (GCC for mingw)", true, kZrPcRel, PcRelative, {0}, kRebased, 8, false},
      {"zR datarel udata4", true, {1, 'z', 'R', 0, 1, 0x7C, 8, 1, 0x33, 0x0C, 4, 4},
       DataRelative, {0}, kRebased, 8, false},
      {"zR absolute uleb", true, {1, 'z', 'R', 0, 1, 0x7C, 8, 1, 0x01}, Uleb, {0}, kRebased, 8,
       false},
      {"zR absolute sleb", true, {1, 'z', 'R', 0, 1, 0x7C, 8, 1, 0x09}, Sleb, {0}, kRebased, 8,
       false},
      {"zPLR: personality skipped, LSDA in the description", true,
       {1, 'z', 'P', 'L', 'R', 0, 1, 0x7C, 8, 7, 0x9B, 1, 2, 3, 4, 0x1B, 0x1B, 0x0C, 4, 4},
       PcRelative, {4, 9, 9, 9, 9}, kRebased, 8, false},
      {"zRS: a signal frame", true, {1, 'z', 'R', 'S', 0, 1, 0x7C, 8, 1, 0x1B}, PcRelative, {0},
       kRebased, 8, true},
      {"eh: the old exception table pointer", true,
       {1, 'e', 'h', 0, 0xEE, 0xEE, 0xEE, 0xEE, 1, 0x7C, 8}, Absolute, {}, kRebased, 8, false},
      {".debug_frame version 1", false, {1, 0, 1, 0x7C, 8, 0x0C, 4, 4}, Absolute, {}, kRebased,
       8, false},
      {".debug_frame version 3, column as uleb", false, {3, 0, 1, 0x7C, 0x88, 0x01}, Absolute,
       {}, kRebased, 136, false},
      {".debug_frame version 4", false, {4, 0, 4, 0, 1, 0x7C, 8}, Absolute, {}, kRebased, 8,
       false},
      // Refused: a layout the reader cannot be sure of must not place rules anywhere.
      {".debug_frame version 4 with 8-byte addresses", false, {4, 0, 8, 0, 1, 0x78, 16},
       Absolute, {}, 0, 0, false},
      {"an augmentation nobody documents", true, {1, 'z', 'X', 0, 1, 0x7C, 8, 1, 0}, Absolute,
       {0}, 0, 0, false},
      {"an indirect address", true, {1, 'z', 'R', 0, 1, 0x7C, 8, 1, 0x9B}, PcRelative, {0}, 0, 0,
       false},
      {"version 2", true, {2, 'z', 'R', 0, 1, 0x7C, 8, 1, 0x1B}, PcRelative, {0}, 0, 0, false},
  };
  for (const Layout& layout : layouts) {
    const Bytes bytes = Section(layout);
    const CfiTable table = CfiTable::Parse({bytes.data(), bytes.size()}, layout.ehFrame,
                                           {kSection, kPreferred, kLoaded});
    if (layout.begin == 0) {
      EXPECT_EQ(table.size(), 0u) << layout.name;
      EXPECT_FALSE(table.problem().empty()) << layout.name;
      continue;
    }
    ASSERT_EQ(table.size(), 1u) << layout.name << ": " << table.problem();
    EXPECT_TRUE(table.problem().empty()) << layout.name << ": " << table.problem();
    const CfiDescription* found = table.Find(layout.begin);
    ASSERT_NE(found, nullptr) << layout.name;
    EXPECT_EQ(found->begin, layout.begin) << layout.name;
    EXPECT_EQ(found->end, layout.begin + kRange) << layout.name;
    EXPECT_EQ(table.Find(layout.begin + kRange - 1), found) << layout.name;
    EXPECT_EQ(table.Find(layout.begin + kRange), nullptr) << layout.name;
    EXPECT_EQ(table.Find(layout.begin - 1), nullptr) << layout.name;
    const CfiCommon& common = table.common(*found);
    EXPECT_EQ(common.dataAlignment, -4) << layout.name;
    EXPECT_EQ(common.returnAddressRegister, layout.returnRegister) << layout.name;
    EXPECT_EQ(common.signalFrame, layout.signalFrame) << layout.name;
    // The description's own instructions come after its augmentation data, exactly.
    ASSERT_EQ(found->instructions.size, 3u) << layout.name;
    EXPECT_EQ(found->instructions.data[0], 0x41) << layout.name;
  }
}

// Sections a corrupt or hostile file might hold: the table keeps what came before the bad
// record, says why it stopped, and never reads outside the section.
TEST(CfiTable, StopsAtRecordsThatCannotBeTrusted) {
  const Layout good = {"", true, kZrPcRel, PcRelative, {0}, kRebased, 8, false};
  const Bytes valid = Section(good);
  const Bytes noTerminator(valid.begin(), valid.end() - 4);
  struct Hostile {
    const char* name;
    Bytes tail;  // appended after a valid common entry and description
    size_t kept;
  };
  const Hostile cases[] = {
      {"a 64-bit record", Cat({Le32(0xFFFFFFFFu), Le32(0), Le32(0)}), 1},
      {"a length past the end", Cat({Le32(0x100), Le32(4), Le32(0)}), 1},
      {"a common entry offset before the section", Cat({Le32(8), Le32(0x7FFFFFFF), Le32(0)}), 1},
      {"a description referring to a description", Cat({Le32(12), Le32(24), Le32(0),
                                                         Le32(0)}), 1},
      {"a length cut in half", {0x10, 0x00}, 1},
      {"only the terminator", Le32(0), 1},
  };
  for (const Hostile& c : cases) {
    const Bytes bytes = Cat({noTerminator, c.tail});
    const CfiTable table =
        CfiTable::Parse({bytes.data(), bytes.size()}, true, {kSection, kPreferred, kLoaded});
    EXPECT_EQ(table.size(), c.kept) << c.name;
    if (c.tail != Le32(0)) {
      EXPECT_FALSE(table.problem().empty()) << c.name;
    }
    EXPECT_NE(table.Find(kRebased), nullptr) << c.name;
  }
}

}  // namespace
}  // namespace orlent::debuginfo
