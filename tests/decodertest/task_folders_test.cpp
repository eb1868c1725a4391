#include "task_folders.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Folders {
  bool built;
  std::wstring download;
  std::wstring extract;
};

Folders Build(const std::wstring& modulePath, int urlIndex) {
  wchar_t download[MAX_PATH];
  wchar_t extract[MAX_PATH];
  const bool built = BuildTaskFolders(modulePath.c_str(), urlIndex, download, extract);
  return {built, download, extract};
}

TEST(BuildTaskFolders, BesideTheExecutableOneSubfolderPerChoice) {
  const Folders two = Build(L"C:\\Tools\\Tremath.exe", 2);
  ASSERT_TRUE(two.built);
  EXPECT_EQ(two.download, L"C:\\Tools\\QuennetTest\\游戏");
  EXPECT_EQ(two.extract, L"C:\\Tools\\QuennetTest\\游戏\\2");

  EXPECT_EQ(Build(L"C:\\Tools\\Tremath.exe", -1).extract, L"C:\\Tools\\QuennetTest\\游戏\\-1");
  EXPECT_EQ(Build(L"C:\\Tools\\Tremath.exe", 2147483647).extract,
            L"C:\\Tools\\QuennetTest\\游戏\\2147483647");
  EXPECT_EQ(Build(L"C:\\Tremath.exe", 0).extract, L"C:\\QuennetTest\\游戏\\0");
}

TEST(BuildTaskFolders, RefusesPathsThatDoNotFitInsteadOfCuttingThem) {
  // Each case is one step past what fits; the step before must still work, so the limit is
  // where MAX_PATH puts it and not somewhere earlier.
  const std::wstring folder = L"C:\\" + std::wstring(200, L'd');
  for (size_t extra = 0; extra < 60; ++extra) {
    const std::wstring modulePath = folder + std::wstring(extra, L'e') + L"\\Tremath.exe";
    const Folders folders = Build(modulePath, -2147483647 - 1);
    if (!folders.built) {
      EXPECT_EQ(folders.download, L"");
      EXPECT_EQ(folders.extract, L"");
      ASSERT_GT(extra, 0u);
      // One character shorter worked, and its extract folder really was near the limit.
      const std::wstring shorter = folder + std::wstring(extra - 1, L'e') + L"\\Tremath.exe";
      const Folders fits = Build(shorter, -2147483647 - 1);
      ASSERT_TRUE(fits.built);
      EXPECT_EQ(fits.extract,
                folder + std::wstring(extra - 1, L'e') + L"\\QuennetTest\\游戏\\-2147483648");
      EXPECT_GE(fits.extract.size(), 230u);
      return;
    }
    EXPECT_LT(folders.extract.size(), static_cast<size_t>(MAX_PATH));
  }
  FAIL() << "no module path was refused";
}

TEST(BuildTaskFolders, RefusesAModulePathThatIsAlreadyTooLong) {
  const Folders folders = Build(L"C:\\" + std::wstring(300, L'x') + L"\\Tremath.exe", 0);
  EXPECT_FALSE(folders.built);
  EXPECT_EQ(folders.download, L"");
}

}  // namespace
