#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>

#include "protocol/hand_off_line.h"

namespace vessick {
namespace {

uint32_t Value(HANDLE h) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h)); }

TEST(HandOffLine, HandlesAndAddressAsEightUpperCaseHexDigits) {
  wchar_t line[kHandOffLineCapacity];
  FormatHandOffLine(line, reinterpret_cast<HANDLE>(0x1F4), reinterpret_cast<HANDLE>(0x1F8),
                    reinterpret_cast<void*>(0x00A51230), 812);
  EXPECT_STREQ(line, L"orlent /buginfo:000001F4:000001F8:00A51230:812");
  FormatHandOffLine(line, reinterpret_cast<HANDLE>(0xFFFFFFFF), nullptr,
                    reinterpret_cast<void*>(0xABCDEF01), 4294967295u);
  EXPECT_STREQ(line, L"orlent /buginfo:FFFFFFFF:00000000:ABCDEF01:4294967295");
}

TEST(HandOffLine, ReadsTheLineTheLibraryWrites) {
  std::wstring error;
  const auto handOff =
      ParseHandOffCommandLine(L"orlent /buginfo:000001F4:000001F8:00A51230:812", &error);
  ASSERT_TRUE(handOff) << error;
  EXPECT_EQ(Value(handOff->event), 0x1F4u);
  EXPECT_EQ(Value(handOff->process), 0x1F8u);
  EXPECT_EQ(handOff->blockAddress, 0x00A51230u);
  EXPECT_EQ(handOff->processId, 812u);
}

TEST(HandOffLine, TakesEveryFormOfTheProgramNameAndFullRanges) {
  std::wstring error;
  for (const wchar_t* line :
       {L"\"C:\\Program Files\\App\\orlent.exe\" /buginfo:1f4:1F8:a51230:812",
        L"C:\\App\\orlent.exe\t/buginfo:1F4:1F8:A51230:812",
        L"orlent   /buginfo:1F4:1F8:A51230:812"}) {
    const auto handOff = ParseHandOffCommandLine(line, &error);
    ASSERT_TRUE(handOff) << error;
    EXPECT_EQ(handOff->blockAddress, 0xA51230u);
  }
  const auto highest = ParseHandOffCommandLine(L"orlent /buginfo:FFFFFFFF:1:FFFFFFFF:4294967295",
                                               &error);
  ASSERT_TRUE(highest) << error;
  EXPECT_EQ(highest->blockAddress, 0xFFFFFFFFu);
  EXPECT_EQ(highest->processId, 4294967295u);
}

TEST(HandOffLine, RefusesAnythingElseWithAReason) {
  for (const wchar_t* line : {
           L"", L"orlent", L"orlent ", L"orlent /buginfo:", L"orlent /BUGINFO:1:2:3:4",
           L"orlent /buginfo:1:2:3", L"orlent /buginfo:1:2:3:", L"orlent /buginfo:1::3:4",
           L"orlent /buginfo:1:2:3:4:5", L"orlent /buginfo:1:2:3:4 ", L"orlent /buginfo:1:2:3:4 x",
           L"orlent /buginfo:0x1:2:3:4", L"orlent /buginfo:123456789:2:3:4",
           L"orlent /buginfo:1:2:3:-4", L"orlent /buginfo:1:2:3:+4", L"orlent /buginfo:1:2:3:04",
           L"orlent /buginfo:1:2:3:4294967296", L"orlent /buginfo:1:2:3:0x4",
           L"orlent /buginfo:0:2:3:4", L"orlent /buginfo:1:0:3:4", L"orlent /buginfo:1:2:0:4",
           L"orlent /buginfo:1:2:3:0", L"orlent /buginfo:1:2:3:\xFF14", L"/buginfo:1:2:3:4",
           L"\"orlent /buginfo:1:2:3:4\""}) {
    std::wstring error;
    EXPECT_FALSE(ParseHandOffCommandLine(line, &error)) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
  std::wstring error;
  EXPECT_FALSE(ParseHandOffCommandLine(nullptr, &error));
}

// The parser against an independent statement of the grammar, on lines one to three random
// edits away from a sound one.
TEST(HandOffLine, AgreesWithTheGrammarOnRandomLines) {
  const std::wregex grammar(
      L"orlent[ \\t]+/buginfo:([0-9A-Fa-f]{1,8}):([0-9A-Fa-f]{1,8}):([0-9A-Fa-f]{1,8}):"
      L"([1-9][0-9]{0,9})");
  const std::wstring alphabet = L"0123456789ABCDEFabcdefgxyz:/ -+\t\"";
  std::mt19937 rng(4660);
  int accepted = 0;
  for (int n = 0; n < 20000; ++n) {
    std::wstring line = L"orlent /buginfo:000001F4:000001F8:00A51230:812";
    for (int edits = 1 + n % 3; edits > 0; --edits) {
      const size_t at = 7 + rng() % (line.size() - 6);
      const wchar_t c = alphabet[rng() % alphabet.size()];
      switch (rng() % 3) {
        case 0: if (at < line.size()) line.erase(at, 1); break;
        case 1: line.insert(at, 1, c); break;
        default: if (at < line.size()) line[at] = c;
      }
    }
    std::wsmatch match;
    bool wellFormed = std::regex_match(line, match, grammar);
    if (wellFormed) {
      for (int i = 1; i <= 3; ++i) wellFormed &= std::wcstoul(match[i].str().c_str(), nullptr, 16) != 0;
      wellFormed &= std::stoull(match[4].str()) <= 0xFFFFFFFFull;
    }
    std::wstring error;
    const auto handOff = ParseHandOffCommandLine(line.c_str(), &error);
    ASSERT_EQ(handOff.has_value(), wellFormed) << line;
    if (handOff) {
      ++accepted;
      EXPECT_EQ(handOff->processId, std::stoul(match[4].str())) << line;
      EXPECT_EQ(handOff->blockAddress, std::wcstoul(match[3].str().c_str(), nullptr, 16)) << line;
    }
  }
  EXPECT_GT(accepted, 100);  // the edits do leave some lines sound
}

}  // namespace
}  // namespace vessick
