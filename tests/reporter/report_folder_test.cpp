#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "report/report_folder.h"

namespace orlent {
namespace {

std::wstring ScratchFolder() {
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + L"orlent-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
         std::to_wstring(::GetTickCount());
}

std::vector<std::wstring> Entries(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

SYSTEMTIME Utc(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms) {
  SYSTEMTIME t = {};
  t.wYear = year, t.wMonth = month, t.wDay = day, t.wHour = hour, t.wMinute = minute,
  t.wSecond = second, t.wMilliseconds = ms;
  return t;
}

TEST(ReportFolder, NamesSortByTime) {
  EXPECT_EQ(ReportFolderName(Utc(2024, 1, 31, 10, 15, 30, 7), 812),
            L"2024-01-31_101530.007_p812");
  const std::vector<std::wstring> inTimeOrder = {
      ReportFolderName(Utc(2023, 12, 31, 23, 59, 59, 999), 99999),
      ReportFolderName(Utc(2024, 1, 1, 0, 0, 0, 0), 4),
      ReportFolderName(Utc(2024, 1, 1, 0, 0, 0, 1), 4),
      ReportFolderName(Utc(2024, 1, 1, 0, 0, 1, 0), 4),
      ReportFolderName(Utc(2024, 10, 1, 0, 0, 0, 0), 4),
  };
  EXPECT_TRUE(std::is_sorted(inTimeOrder.begin(), inTimeOrder.end()));
}

TEST(ReportFolder, CreatesTheRootAndNeverReusesAFolder) {
  const std::wstring root = ScratchFolder() + L"\\deeper\\reports";
  const SYSTEMTIME when = Utc(2024, 1, 31, 10, 15, 30, 7);
  std::wstring error;
  std::vector<std::wstring> made;
  for (int i = 0; i < 3; ++i) {
    const auto folder = CreateReportFolder(root, when, 812, &error);
    ASSERT_TRUE(folder) << error;
    made.push_back(*folder);
  }
  EXPECT_EQ(made[0], root + L"\\2024-01-31_101530.007_p812");
  EXPECT_EQ(made[1], made[0] + L"-2");
  EXPECT_EQ(made[2], made[0] + L"-3");
  EXPECT_EQ(Entries(root).size(), 3u);
}

TEST(ReportFolder, ARootThatCannotBeMadeIsAnError) {
  const std::wstring scratch = ScratchFolder();
  ASSERT_TRUE(::CreateDirectoryW(scratch.c_str(), nullptr));
  std::wstring error;
  ASSERT_TRUE(WriteFileAtomically(scratch + L"\\file", "x", &error)) << error;
  EXPECT_FALSE(CreateReportFolder(scratch + L"\\file\\reports", {}, 1, &error));
  EXPECT_NE(error.find(L"\\file exists and is not a folder"), std::wstring::npos) << error;
  EXPECT_FALSE(CreateReportFolder(scratch + L"\\bad|name", {}, 1, &error));
  EXPECT_NE(error.find(L"CreateDirectoryW failed"), std::wstring::npos) << error;
  EXPECT_FALSE(CreateReportFolder(scratch + L"\\file", {}, 1, &error));
  EXPECT_NE(error.find(L"is not a folder"), std::wstring::npos) << error;
}

TEST(ReportFolder, FilesAppearWholeUnderTheirNames) {
  const std::wstring scratch = ScratchFolder();
  ASSERT_TRUE(::CreateDirectoryW(scratch.c_str(), nullptr));
  std::wstring error;
  ASSERT_TRUE(WriteFileAtomically(scratch + L"\\report.txt", "first", &error)) << error;
  ASSERT_TRUE(WriteFileAtomically(scratch + L"\\report.txt", "second text", &error)) << error;
  EXPECT_EQ(Entries(scratch), std::vector<std::wstring>({L"report.txt"}));  // no .tmp left
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(::GetFileAttributesExW((scratch + L"\\report.txt").c_str(), GetFileExInfoStandard,
                                     &data));
  EXPECT_EQ(data.nFileSizeLow, 11u);
}

TEST(ReportFolder, TheEnvironmentChoosesTheRoot) {
  std::wstring error;
  ::SetEnvironmentVariableW(kReportsRootVariable, L"D:\\elsewhere\\reports");
  EXPECT_EQ(ReportsRoot(&error).value_or(L""), L"D:\\elsewhere\\reports");
  ::SetEnvironmentVariableW(kReportsRootVariable, L"relative\\reports");
  wchar_t current[MAX_PATH];
  ::GetCurrentDirectoryW(MAX_PATH, current);
  std::wstring expected = current;
  if (expected.back() != L'\\') expected += L'\\';
  EXPECT_EQ(ReportsRoot(&error).value_or(L""), expected + L"relative\\reports");
  ::SetEnvironmentVariableW(kReportsRootVariable, nullptr);
  const auto standard = ReportsRoot(&error);
  ASSERT_TRUE(standard) << error;
  EXPECT_NE(standard->find(L"\\Vessick\\CrashReports"), std::wstring::npos) << *standard;
}

}  // namespace
}  // namespace orlent
