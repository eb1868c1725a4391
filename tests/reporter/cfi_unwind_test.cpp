#include "debuginfo/cfi_unwind.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace orlent::debuginfo {
namespace {

constexpr uint32_t kSection = 0x00410000;  // where the .eh_frame bytes lie in the "process"
constexpr uint32_t kBegin = 0x00401000;    // the described function

void Put32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A common entry as GCC writes it for i386 (CFA = esp + 4, return address at CFA - 4) and one
// description of `instructions` for [kBegin, kBegin + 0x40), with absolute addresses.
std::vector<uint8_t> EhFrame(const std::vector<uint8_t>& instructions, uint32_t fdeLength = 0) {
  std::vector<uint8_t> cie = {0, 0, 0, 0, 1, 'z', 'R', 0, 1, 0x7C, 8, 1, 0x03,
                              0x0C, 4, 4, 0x88, 1, 0, 0};
  std::vector<uint8_t> out;
  Put32(&out, static_cast<uint32_t>(cie.size()));
  out.insert(out.end(), cie.begin(), cie.end());
  std::vector<uint8_t> fde;
  Put32(&fde, static_cast<uint32_t>(out.size() + 4));  // back to the common entry
  Put32(&fde, kBegin);
  Put32(&fde, 0x40);
  fde.push_back(0);  // no augmentation data
  fde.insert(fde.end(), instructions.begin(), instructions.end());
  Put32(&out, fdeLength != 0 ? fdeLength : static_cast<uint32_t>(fde.size()));
  out.insert(out.end(), fde.begin(), fde.end());
  Put32(&out, 0);
  return out;
}

// push ebp; mov ebp, esp; ...; an epilogue that remembers, pops, and restores.
const std::vector<uint8_t> kFramed = {
    0x41, 0x0E, 8, 0x85, 2,  // +1: CFA = esp + 8, ebp at CFA - 8
    0x42, 0x0D, 5,           // +3: CFA = ebp + 8
    0x4A, 0x0A, 0xC5, 0x0C, 4, 4,  // +13: remember; ebp restored, CFA = esp + 4 (pop ebp)
    0x41, 0x0B,              // +14: the state before the epilogue again
};

struct Case {
  uint32_t offset;        // into the function
  uint32_t returnSlot;    // where the return address must be read
  uint32_t callerEsp;
  bool ebpRestored;
};

TEST(CfiUnwind, FollowsTheRulesInstructionByInstruction) {
  const std::vector<uint8_t> bytes = EhFrame(kFramed);
  const CfiTable table = CfiTable::Parse({bytes.data(), bytes.size()}, true,
                                         {kSection, 0x400000, 0x400000});
  ASSERT_EQ(table.size(), 1u) << table.problem();
  const uint32_t esp = 0x1000, ebp = 0x1010;
  std::map<uint32_t, uint32_t> stack = {{0x1000, 0xAAAA0000}, {0x1004, 0xBBBB0000},
                                        {0x1010, 0xCCCC0000}, {0x1014, 0xDDDD0000}};
  const WordReader read = [&](uint32_t address, uint32_t* value) {
    auto found = stack.find(address);
    if (found == stack.end()) return false;
    *value = found->second;
    return true;
  };
  const Case cases[] = {
      {0, 0x1000, 0x1004, false},   // at entry: the return address is on top
      {1, 0x1004, 0x1008, true},    // after push ebp
      {5, 0x1014, 0x1018, true},    // framed by ebp
      {13, 0x1000, 0x1004, false},  // after pop ebp: only the rules know
      {14, 0x1014, 0x1018, true},   // restored state: framed by ebp again
  };
  for (const Case& c : cases) {
    const CfiDescription* description = table.Find(kBegin + c.offset);
    ASSERT_NE(description, nullptr);
    Registers callee;
    callee.Set(kEsp, esp);
    callee.Set(kEbp, ebp);
    callee.Set(kEip, kBegin + c.offset);
    Registers caller;
    std::string why;
    ASSERT_TRUE(UnwindByCfi(table, *description, kBegin + c.offset, callee, read, &caller, &why))
        << c.offset << ": " << why;
    EXPECT_EQ(caller.value[kEip], stack[c.returnSlot]) << c.offset;
    EXPECT_EQ(caller.value[kEsp], c.callerEsp) << c.offset;
    EXPECT_EQ(caller.value[kEbp], c.ebpRestored ? stack[c.returnSlot - 4] : ebp) << c.offset;
  }
  EXPECT_EQ(table.Find(kBegin + 0x40), nullptr);
  EXPECT_EQ(table.Find(kBegin - 1), nullptr);
}

TEST(CfiUnwind, RefusesRulesThatDoNotHold) {
  // A description whose length runs past the section: nothing is indexed, and it says so.
  const std::vector<uint8_t> cut = EhFrame(kFramed, 0x7FFFFFF0);
  const CfiTable truncated = CfiTable::Parse({cut.data(), cut.size()}, true, {kSection, 0, 0});
  EXPECT_EQ(truncated.size(), 0u);
  EXPECT_FALSE(truncated.problem().empty());

  const std::vector<std::vector<uint8_t>> broken = {
      {0x0B},                    // restore_state with nothing remembered
      {0x3F},                    // an operation that does not exist
      {0x0C, 9, 0},              // the CFA in a register no caller can know
      {0x0F, 2, 0x06, 0x06},     // CFA expression: deref of nothing
  };
  for (const std::vector<uint8_t>& instructions : broken) {
    const std::vector<uint8_t> bytes = EhFrame(instructions);
    const CfiTable table = CfiTable::Parse({bytes.data(), bytes.size()}, true, {kSection, 0, 0});
    ASSERT_EQ(table.size(), 1u);
    Registers callee;
    callee.Set(kEsp, 0x1000);
    Registers caller;
    std::string why;
    const WordReader nothing = [](uint32_t, uint32_t*) { return false; };
    EXPECT_FALSE(UnwindByCfi(table, *table.Find(kBegin), kBegin + 1, callee, nothing, &caller,
                             &why));
    EXPECT_FALSE(why.empty());
  }
}

}  // namespace
}  // namespace orlent::debuginfo
