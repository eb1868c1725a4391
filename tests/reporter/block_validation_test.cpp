#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "process/block_validation.h"

namespace orlent {
namespace {

using vessick::BugInfoBlock;
constexpr uint32_t kPid = 812;

// A block laid out by hand from the format's rules, with a fault recorded.
std::vector<uint8_t> MakeBlock(const std::vector<std::wstring>& strings) {
  uint32_t size = vessick::kBugInfoHeaderSize;
  for (const std::wstring& s : strings) size += static_cast<uint32_t>((s.size() + 1) * 2);
  std::vector<uint8_t> bytes(size);
  auto* h = reinterpret_cast<BugInfoBlock*>(bytes.data());
  h->totalSize = size;
  h->processId = kPid;
  h->crashThreadId = 36;
  h->exceptionPointers = 0x0063FE00;
  h->context.ContextFlags = CONTEXT_FULL;
  h->exceptionRecord.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  uint32_t at = vessick::kBugInfoHeaderSize;
  for (size_t i = 0; i < strings.size(); ++i) {
    h->stringOffsets[i] = at;
    std::memcpy(bytes.data() + at, strings[i].c_str(), (strings[i].size() + 1) * 2);
    at += static_cast<uint32_t>((strings[i].size() + 1) * 2);
  }
  return bytes;
}

const std::vector<std::wstring> kWorkedExample = {L"ab", L"", L"xyz", L"", L"C:\\a.exe"};

BugInfoBlock* HeaderOf(std::vector<uint8_t>& bytes) {
  return reinterpret_cast<BugInfoBlock*>(bytes.data());
}

BlockReading Interpret(std::vector<uint8_t> bytes) { return InterpretBlock(std::move(bytes), kPid); }

bool HasProblem(const BlockReading& reading, const wchar_t* words) {
  for (const std::wstring& problem : reading.problems)
    if (problem.find(words) != std::wstring::npos) return true;
  return false;
}

TEST(BlockReading, ASoundBlockPassesAndGivesItsStrings) {
  const BlockReading reading = Interpret(MakeBlock(kWorkedExample));
  EXPECT_TRUE(reading.valid()) << reading.problems.front();
  EXPECT_TRUE(reading.faultRecorded());
  EXPECT_EQ(reading.header.totalSize, 1564u);
  for (size_t i = 0; i < kWorkedExample.size(); ++i) {
    EXPECT_EQ(reading.strings[i].text, kWorkedExample[i]);
    EXPECT_TRUE(reading.strings[i].complete);
  }
}

TEST(BlockReading, EachDamageIsNamedAndWhatCanBeReadIsKept) {
  struct Damage {
    const wchar_t* problem;
    void (*apply)(std::vector<uint8_t>&);
  };
  const Damage damages[] = {
      {L"totalSize 0", [](auto& b) { HeaderOf(b)->totalSize = 0; }},
      {L"totalSize 4294967295", [](auto& b) { HeaderOf(b)->totalSize = 0xFFFFFFFF; }},
      {L"belongs to process 813", [](auto& b) { HeaderOf(b)->processId = 813; }},
      {L"offset of text3", [](auto& b) { HeaderOf(b)->stringOffsets[2] = 0x7FFFFFFF; }},
      {L"offset of text1", [](auto& b) { HeaderOf(b)->stringOffsets[0] = 12; }},
      {L"not laid out in order",
       [](auto& b) { std::swap(HeaderOf(b)->stringOffsets[0], HeaderOf(b)->stringOffsets[2]); }},
      {L"not laid out in order", [](auto& b) { HeaderOf(b)->stringOffsets[4] += 1; }},
      {L"hostPath is not terminated", [](auto& b) { b[b.size() - 2] = 'x'; }},
      {L"text3 is not terminated", [](auto& b) { b[1536 + 6] = 'x'; }},
      {L"do not end where the block ends", [](auto& b) {
         HeaderOf(b)->totalSize += 4;
         b.resize(b.size() + 4, 0);
       }},
      {L"records no fault", [](auto& b) { HeaderOf(b)->crashThreadId = 0; }},
      {L"records no fault", [](auto& b) { HeaderOf(b)->exceptionPointers = 0; }},
      {L"not an x86 context", [](auto& b) { HeaderOf(b)->context.ContextFlags = 0x3F; }},
      {L"always zero", [](auto& b) { HeaderOf(b)->reserved = 1; }},
  };
  for (const Damage& damage : damages) {
    std::vector<uint8_t> bytes = MakeBlock(kWorkedExample);
    damage.apply(bytes);
    const BlockReading reading = Interpret(bytes);
    EXPECT_FALSE(reading.valid()) << damage.problem;
    EXPECT_TRUE(HasProblem(reading, damage.problem)) << damage.problem;
    EXPECT_TRUE(reading.headerComplete);
  }
  // An unterminated string still shows what was there.
  std::vector<uint8_t> bytes = MakeBlock(kWorkedExample);
  bytes[bytes.size() - 2] = 'x';
  const BlockReading reading = Interpret(bytes);
  EXPECT_EQ(reading.strings[4].text, L"C:\\a.exex");
  EXPECT_FALSE(reading.strings[4].complete);
  EXPECT_EQ(reading.strings[0].text, L"ab");
}

TEST(BlockReading, AShortReadIsToldApartFromAShortBlock) {
  std::vector<uint8_t> bytes = MakeBlock(kWorkedExample);
  bytes.resize(bytes.size() - 6);  // the memory ended inside hostPath
  const BlockReading cut = Interpret(bytes);
  EXPECT_TRUE(HasProblem(cut, L"only 1558 of the block's 1564 bytes"));
  EXPECT_TRUE(HasProblem(cut, L"hostPath is not terminated"));

  bytes.resize(100);
  const BlockReading header = Interpret(bytes);
  EXPECT_FALSE(header.headerComplete);
  EXPECT_TRUE(HasProblem(header, L"only 100 of the block's 1528 header bytes"));
  EXPECT_EQ(header.header.processId, kPid);     // what was read is kept
  EXPECT_EQ(header.header.crashThreadId, 36u);
  EXPECT_FALSE(header.faultRecorded());

  const BlockReading nothing = Interpret({});
  EXPECT_TRUE(HasProblem(nothing, L"cannot be read at all"));
}

// Every check against every kind of damage at random: nothing read out of bounds (the strings
// come only from the bytes given), and a block that passes really obeys the layout.
TEST(BlockReading, RandomDamageNeverPassesUnnoticed) {
  std::mt19937 rng(1234);
  const std::vector<uint8_t> sound = MakeBlock({L"Product", L"1.0", L"beta", L"\x6D4B", L"C:\\p.exe"});
  int passed = 0;
  for (int n = 0; n < 5000; ++n) {
    std::vector<uint8_t> bytes = sound;
    const int changes = 1 + static_cast<int>(rng() % 6);
    for (int c = 0; c < changes; ++c) {
      switch (rng() % 4) {
        case 0: bytes[rng() % bytes.size()] = static_cast<uint8_t>(rng()); break;
        case 1: HeaderOf(bytes)->stringOffsets[rng() % 5] = rng() % 2 ? rng() : 1528 + rng() % 80; break;
        case 2: HeaderOf(bytes)->totalSize = rng() % 2 ? rng() : 1520 + rng() % 100; break;
        default: bytes.resize(rng() % (bytes.size() + 1)); if (bytes.size() < 4) bytes.resize(4);
      }
    }
    const BlockReading reading = Interpret(bytes);
    size_t textUnits = 0;
    for (const BlockText& text : reading.strings) textUnits += text.text.size();
    ASSERT_LE(textUnits * 2, bytes.size());
    if (!reading.valid()) continue;
    ++passed;
    // Independent check of the layout rules on what passed.
    const BugInfoBlock* h = &reading.header;
    uint32_t at = vessick::kBugInfoHeaderSize;
    for (int i = 0; i < 5; ++i) {
      ASSERT_EQ(h->stringOffsets[i], at);
      at += static_cast<uint32_t>((reading.strings[i].text.size() + 1) * 2);
    }
    ASSERT_EQ(at, h->totalSize);
    ASSERT_EQ(h->totalSize, bytes.size());
    ASSERT_EQ(h->processId, kPid);
  }
  EXPECT_GT(passed, 0);  // harmless changes (to a register, say) do pass
}

}  // namespace
}  // namespace orlent
