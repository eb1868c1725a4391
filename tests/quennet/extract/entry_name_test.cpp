// Entry names: which ones may be written under the extract folder, and the path they give.
#include "entry_name.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quennet {
namespace {

struct NameCase {
  const wchar_t* name;
  std::vector<std::wstring> parts;  // empty with refused
  bool refused;
};

TEST(EntryNames, SafeNamesSplitAndHostileOnesAreRefused) {
  const NameCase cases[] = {
      {L"a.txt", {L"a.txt"}, false},
      {L"dir/sub/file.bin", {L"dir", L"sub", L"file.bin"}, false},
      {L"dir\\sub\\file.bin", {L"dir", L"sub", L"file.bin"}, false},
      {L"./dir//file", {L"dir", L"file"}, false},
      {L"游戏/资源.pak", {L"游戏", L"资源.pak"}, false},
      {L"a..b/..c/d..e", {L"a..b", L"..c", L"d..e"}, false},
      {L"console.txt", {L"console.txt"}, false},
      {L"COM10", {L"COM10"}, false},
      {L"LPT0.txt", {L"LPT0.txt"}, false},
      {L"CONOUT", {L"CONOUT"}, false},
      {L"", {}, true},
      {L"/etc/passwd", {}, true},
      {L"\\windows\\win.ini", {}, true},
      {L"\\\\server\\share\\x", {}, true},
      {L"C:evil.txt", {}, true},
      {L"C:/evil.txt", {}, true},
      {L"../evil.txt", {}, true},
      {L"dir/../../evil.txt", {}, true},
      {L"dir\\..\\..\\evil.txt", {}, true},
      {L"dir/..", {}, true},
      {L"file.txt:stream", {}, true},
      {L"CON", {}, true},
      {L"con.txt", {}, true},
      {L"dir/Nul.tar.gz", {}, true},
      {L"aux", {}, true},
      {L"PRN.log", {}, true},
      {L"COM1", {}, true},
      {L"lpt9.txt", {}, true},
      {L"COM\u00B9", {}, true},
      {L"CONIN$", {}, true},
      {L"conout$.txt", {}, true},
      {L"CON .txt", {}, true},
      {L"trailing.", {}, true},
      {L"trailing /x", {}, true},
      {L"dir./file", {}, true},
      {L"a<b", {}, true},
      {L"what?", {}, true},
      {L"star*", {}, true},
      {L"pipe|x", {}, true},
      {L"quote\"x", {}, true},
      {L"tab\tname", {}, true},
  };
  for (const NameCase& test : cases) {
    std::vector<std::wstring> parts;
    const std::wstring reason = SplitSafeEntryName(test.name, &parts);
    const std::string shown = ::testing::PrintToString(std::wstring(test.name));
    EXPECT_EQ(!reason.empty(), test.refused) << shown;
    if (!test.refused) {
      EXPECT_EQ(parts, test.parts) << shown;
    }
  }
}

TEST(EntryNames, FoldersAndTheExtractFolderItself) {
  std::vector<std::wstring> parts;
  EXPECT_TRUE(SplitSafeEntryName(L"./", &parts).empty());
  EXPECT_TRUE(parts.empty());
  EXPECT_TRUE(NamesFolder(L"./"));
  EXPECT_TRUE(NamesFolder(L"dir\\"));
  EXPECT_FALSE(NamesFolder(L"dir"));
}

TEST(EntryNames, DecodingByFlag) {
  std::wstring name;
  // "游戏" in UTF-8 and in code page 936 (GBK).
  ASSERT_TRUE(DecodeEntryName("\xE6\xB8\xB8\xE6\x88\x8F", NameEncoding::kUtf8, &name));
  EXPECT_EQ(name, L"游戏");
  ASSERT_TRUE(DecodeEntryName("\xD3\xCE\xCF\xB7", NameEncoding::kCodePage936, &name));
  EXPECT_EQ(name, L"游戏");
  ASSERT_TRUE(DecodeEntryName("\xD3\xCE\xCF\xB7", NameEncoding::kUtf8Or936, &name));
  EXPECT_EQ(name, L"游戏");
  EXPECT_FALSE(DecodeEntryName("\xD3\xCE\xCF\xB7", NameEncoding::kUtf8, &name));
  EXPECT_FALSE(DecodeEntryName("\xFF\xFE", NameEncoding::kUtf8, &name));
}

}  // namespace
}  // namespace quennet
