// The DWARF reader on the test program's own debug data (a known function at a known line) and
// on damaged and hostile input: truncated and corrupted sections, endless nesting, a 64-bit
// unit, offsets that point nowhere. Damage may cost names; it must never cost the reporter.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "debuginfo/dwarf_index.h"
#include "debuginfo/mapped_file.h"
#include "debuginfo/module_sources.h"

namespace orlent::debuginfo {
namespace {

constexpr int kKnownLine = __LINE__ + 1;
__attribute__((noinline)) int KnownFunction(int x) { return x * 7 + 1; }

struct OwnFile {
  MappedFile file;
  PeImage image;
  uint32_t knownRva;
};

OwnFile OpenOwnFile() {
  wchar_t path[MAX_PATH];
  EXPECT_NE(::GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
  std::wstring error;
  std::optional<MappedFile> file = MappedFile::Open(path, &error);
  EXPECT_TRUE(file);
  std::optional<PeImage> image = PeImage::Parse(file->bytes());
  EXPECT_TRUE(image);
  const auto base = reinterpret_cast<uintptr_t>(::GetModuleHandleW(nullptr));
  const uint32_t rva = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&KnownFunction) - base);
  return {std::move(*file), *image, rva};
}

TEST(DwarfIndex, NamesAKnownFunctionOfTheTestProgramAtItsLine) {
  OwnFile own = OpenOwnFile();
  DwarfIndex index(DwarfSections::From(own.image));
  const DwarfLookup found = index.Find(own.knownRva);
  ASSERT_FALSE(found.frames.empty());
  EXPECT_TRUE(found.hasFunction);
  EXPECT_EQ(found.functionEntry, own.knownRva);
  EXPECT_EQ(found.frames.back().line, static_cast<uint32_t>(kKnownLine));
  EXPECT_NE(found.frames.back().file.find("dwarf_reader_test.cpp"), std::string::npos)
      << found.frames.back().file;
  EXPECT_NE(std::string(found.frames.back().name).find("KnownFunction"), std::string::npos);
  EXPECT_TRUE(index.problems().empty());
  EXPECT_GT(index.unitCount(), 1u);
}

// Sections cut short or overwritten at many places: every lookup returns (or gives nothing),
// within the time budget.
TEST(DwarfIndex, SurvivesTruncatedAndCorruptedSections) {
  OwnFile own = OpenOwnFile();
  const DwarfSections intact = DwarfSections::From(own.image);
  const std::vector<uint8_t> info(intact.info.data, intact.info.data + intact.info.size);
  const std::vector<uint8_t> abbrev(intact.abbrev.data, intact.abbrev.data + intact.abbrev.size);
  const std::vector<uint8_t> line(intact.line.data, intact.line.data + intact.line.size);
  DwarfLimits limits;
  limits.timeBudget = std::chrono::milliseconds(500);
  const auto started = std::chrono::steady_clock::now();
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u; };
  for (int round = 0; round < 60; ++round) {
    std::vector<uint8_t> badInfo = info, badAbbrev = abbrev, badLine = line;
    if (round % 3 == 0) {
      badInfo.resize(next() % badInfo.size());
      badLine.resize(next() % badLine.size());
    } else {
      for (int n = 0; n < 64; ++n) {
        badInfo[next() % badInfo.size()] = static_cast<uint8_t>(next() >> 16);
        badLine[next() % badLine.size()] = static_cast<uint8_t>(next() >> 16);
        if (round % 3 == 2)
          badAbbrev[next() % badAbbrev.size()] = static_cast<uint8_t>(next() >> 16);
      }
    }
    DwarfSections s = intact;
    s.info = {badInfo.data(), badInfo.size()};
    s.abbrev = {badAbbrev.data(), badAbbrev.size()};
    s.line = {badLine.data(), badLine.size()};
    DwarfIndex index(s, limits);
    index.Find(own.knownRva);
    index.Find(own.knownRva + 3);
    index.Find(0);
    index.Find(0x7FFFFFF0u);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

// Hand-made DWARF 4 units: an abbreviation table, then units of DIEs.
class Builder {
 public:
  // 1: compile unit, 2: subprogram with children, 3: subprogram without, each with a name
  // and low_pc/high_pc.
  std::vector<uint8_t> Abbrevs() const {
    std::vector<uint8_t> a;
    for (uint8_t code = 1; code <= 3; ++code) {
      const uint8_t tag = code == 1 ? 0x11 : 0x2e;
      const uint8_t children = code == 3 ? 0 : 1;
      a.insert(a.end(), {code, tag, children, 0x03, 0x08, 0x11, 0x01, 0x12, 0x06, 0, 0});
    }
    a.push_back(0);
    return a;
  }
  static void Die(std::vector<uint8_t>* d, uint8_t code, const char* name, uint32_t low,
                  uint32_t size) {
    d->push_back(code);
    d->insert(d->end(), name, name + std::strlen(name) + 1);
    Put32(d, low);
    Put32(d, size);
  }
  static void Put32(std::vector<uint8_t>* d, uint32_t v) {
    for (int i = 0; i < 4; ++i) d->push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  // A version 4 unit around `dies`.
  static std::vector<uint8_t> Unit(const std::vector<uint8_t>& dies, uint32_t abbrevOffset = 0) {
    std::vector<uint8_t> u;
    Put32(&u, static_cast<uint32_t>(dies.size() + 7));
    u.insert(u.end(), {4, 0});
    Put32(&u, abbrevOffset);
    u.push_back(4);
    u.insert(u.end(), dies.begin(), dies.end());
    return u;
  }
};

DwarfSections Sections(const std::vector<uint8_t>& info, const std::vector<uint8_t>& abbrev) {
  DwarfSections s;
  s.info = {info.data(), info.size()};
  s.abbrev = {abbrev.data(), abbrev.size()};
  s.imageBase = 0x400000;
  return s;
}

TEST(DwarfIndex, HandMadeUnitsGiveTheirFunctionsAndFaultsCostOnlyTheirUnit) {
  const Builder b;
  const std::vector<uint8_t> abbrev = b.Abbrevs();
  std::vector<uint8_t> dies;
  Builder::Die(&dies, 1, "unit.c", 0x401000, 0x100);
  Builder::Die(&dies, 3, "First", 0x401000, 0x40);
  Builder::Die(&dies, 3, "Second", 0x401040, 0x40);
  dies.push_back(0);
  const std::vector<uint8_t> good = Builder::Unit(dies);

  // A 64-bit unit before it is stepped over by its own length; a unit whose abbreviations
  // lie past the section is reported and the next one still read.
  std::vector<uint8_t> info = {0xFF, 0xFF, 0xFF, 0xFF, 8, 0, 0, 0, 0, 0,
                               0,    0,    5,    0,    1, 4, 0, 0, 0, 0};
  const std::vector<uint8_t> lost = Builder::Unit(dies, 0xFFFF);
  info.insert(info.end(), lost.begin(), lost.end());
  info.insert(info.end(), good.begin(), good.end());

  DwarfIndex index(Sections(info, abbrev));
  struct Case {
    uint32_t rva;
    const char* name;  // nullptr: nothing known
  } cases[] = {{0x1000, "First"},  {0x103F, "First"}, {0x1040, "Second"},
               {0x107F, "Second"}, {0x1080, nullptr}, {0x0FFF, nullptr}};
  for (const Case& c : cases) {
    const DwarfLookup found = index.Find(c.rva);
    if (c.name == nullptr) {
      EXPECT_FALSE(found.hasFunction) << std::hex << c.rva;
    } else {
      ASSERT_EQ(found.frames.size(), 1u) << std::hex << c.rva;
      EXPECT_EQ(found.frames[0].name, c.name);
      EXPECT_EQ(found.frames[0].line, 0u) << "no line table";
    }
  }
  EXPECT_EQ(index.unitCount(), 2u);  // the 64-bit unit is not one
  ASSERT_EQ(index.problems().size(), 1u);
  EXPECT_NE(index.problems()[0].find("cannot be read"), std::string::npos);
}

TEST(DwarfIndex, EndlessNestingStopsAtTheDepthLimit) {
  const Builder b;
  const std::vector<uint8_t> abbrev = b.Abbrevs();
  std::vector<uint8_t> dies;
  Builder::Die(&dies, 1, "deep.c", 0x401000, 0x1000);
  for (int i = 0; i < 5000; ++i) Builder::Die(&dies, 2, "f", 0x401000, 0x1000 - i);
  // never closed
  const std::vector<uint8_t> info = Builder::Unit(dies);
  DwarfLimits limits;
  limits.maxDepth = 64;
  DwarfIndex index(Sections(info, abbrev), limits);
  const DwarfLookup found = index.Find(0x1010);
  ASSERT_TRUE(found.hasFunction);
  EXPECT_EQ(found.frames.back().name, "f");
  ASSERT_FALSE(index.problems().empty());
  EXPECT_NE(index.problems().back().find("in part"), std::string::npos);
}

TEST(AbbrevTable, RefusesRunawayAndUnterminatedTables) {
  // An attribute list that never ends, and a table that runs off the section.
  const std::vector<uint8_t> endless = {1, 0x11, 1, 0x03, 0x08, 0x03, 0x08, 0x03};
  EXPECT_FALSE(AbbrevTable::Parse({endless.data(), endless.size()}, 0).ok());
  EXPECT_FALSE(AbbrevTable::Parse({endless.data(), endless.size()}, 999).ok());
  // Sparse codes are found by search.
  const std::vector<uint8_t> sparse = {7, 0x2e, 0, 0, 0, 3, 0x11, 1, 0, 0, 0};
  const AbbrevTable table = AbbrevTable::Parse({sparse.data(), sparse.size()}, 0);
  ASSERT_TRUE(table.ok());
  ASSERT_NE(table.Find(7), nullptr);
  EXPECT_EQ(table.Find(7)->tag, 0x2e);
  ASSERT_NE(table.Find(3), nullptr);
  EXPECT_EQ(table.Find(1), nullptr);
}

TEST(DebugFileLocator, StoreEntriesAndSymbolPaths) {
  ModuleKey key;
  key.path = L"C:\\game\\Game.exe";
  key.timeDateStamp = 0x5F3A1B2C;
  key.sizeOfImage = 0x1A000;
  std::vector<StoreEntry> entries = StoreEntriesFor(key, nullptr);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, L"Game.exe");
  EXPECT_EQ(entries[0].id, L"5F3A1B2C1a000");

  key.hasCodeView = true;
  const uint8_t guid[16] = {0x78, 0x56, 0x34, 0x12, 0xBC, 0x9A, 0xF0, 0xDE,
                            0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  std::memcpy(key.guid, guid, 16);
  key.age = 0x1A;
  key.pdbName = "D:\\build\\game.pdb";
  entries = StoreEntriesFor(key, nullptr);
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, L"game.pdb");
  EXPECT_EQ(entries[0].id, L"123456789ABCDEF00123456789ABCDEF1A");

  EXPECT_EQ(
      ParseSymbolPath(L" C:\\symbols ; ;srv*D:\\store*https://symbols.example.com;C:\\symbols"),
      (std::vector<std::wstring>{L"C:\\symbols", L"D:\\store"}));
  EXPECT_TRUE(ParseSymbolPath(L"").empty());

  // The CRC .gnu_debuglink uses is the IEEE one ("123456789" -> CBF43926).
  const char check[] = "123456789";
  EXPECT_EQ(DebugLinkCrc({reinterpret_cast<const uint8_t*>(check), 9}), 0xCBF43926u);
}

}  // namespace
}  // namespace orlent::debuginfo
