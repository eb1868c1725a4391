#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "report/report_folder.h"
#include "report/retention.h"
#include "scratch_folders.h"

namespace orlent {
namespace {

TEST(Retention, OnlyTheReportersOwnFolderNamesAreReports) {
  struct Case {
    const wchar_t* name;
    bool report;
  } cases[] = {
      {L"2024-01-31_101530.007_p812", true},
      {L"2024-01-31_101530.007_p812-2", true},
      {L"2024-01-31_101530.007_p812-100", true},
      {L"2024-01-31_101530.007_p812-", false},
      {L"2024-01-31_101530.007_p812-2x", false},
      {L"2024-01-31_101530.007_p", false},
      {L"2024-01-31_101530.007_812", false},
      {L"2024-01-31_101530_p812", false},
      {L"2024-01-31 101530.007_p812", false},
      {L"Outbox", false},
      {L"my saved games", false},
      {L"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsReportFolderName(c.name), c.report) << c.name;
  SYSTEMTIME t = {};
  t.wYear = 2031, t.wMonth = 12, t.wDay = 9, t.wHour = 23, t.wMinute = 5, t.wMilliseconds = 42;
  EXPECT_TRUE(IsReportFolderName(ReportFolderName(t, 4294967295u)));
}

class RetentionRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    root_ = std::wstring(temp) + L"orlent-retention-" + std::to_wstring(::GetCurrentProcessId());
    ASSERT_TRUE(::CreateDirectoryW(root_.c_str(), nullptr));
  }
  void TearDown() override { RemoveTree(root_); }

  void Folder(const std::wstring& name, bool withFiles = true) {
    const std::wstring path = root_ + L"\\" + name;
    ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr)) << path;
    std::wstring error;
    if (withFiles) {
      ASSERT_TRUE(WriteFileAtomically(path + L"\\report.txt", "text", &error)) << error;
      ASSERT_TRUE(WriteFileAtomically(path + L"\\crash.dmp", "MDMP", &error)) << error;
    }
  }

  std::vector<std::wstring> Left() const { return FolderEntries(root_); }

  static std::wstring Report(int second, const wchar_t* suffix = L"") {
    wchar_t name[64];
    std::swprintf(name, 64, L"2024-01-01_0000%02d.000_p7%ls", second, suffix);
    return name;
  }

  std::wstring root_;
};

// Ten reports, oldest first, in a root that keeps five: besides them the root holds the
// outbox (whose entries mark two old reports as not finished with), a folder of someone
// else's, an old report-named folder that holds a folder, and one that another reporter is
// still writing (only a .tmp file so far).
TEST_F(RetentionRoot, RemovesTheOldestReportsButNeverQueuedOnesTheNewOneOrOthers) {
  for (int second = 10; second < 20; ++second) Folder(Report(second));
  Folder(Report(10, L"-2"));  // made after 10 in the same millisecond
  Folder(L"Outbox", false);
  std::wstring error;
  ASSERT_TRUE(WriteFileAtomically(root_ + L"\\Outbox\\" + Report(11) + L".ini", "x", &error));
  ASSERT_TRUE(WriteFileAtomically(root_ + L"\\Outbox\\" + Report(13) + L".ini", "x", &error));
  Folder(L"saved games");
  Folder(L"1999-01-01_000000.000_p1", false);
  Folder(L"1999-01-01_000000.000_p1\\inner", false);
  Folder(Report(5), false);
  ASSERT_TRUE(WriteFileAtomically(root_ + L"\\" + Report(5) + L"\\crash.dmp.tmp", "x", &error));

  // The report just written is the oldest name here (a clock set back): it stays too. What
  // stays counts toward the limit, so five finished reports are left in all; the folders
  // holding no finished report neither count nor go.
  const RetentionResult result = PruneOldReports(root_, Report(10), 5);

  EXPECT_EQ(result.removed,
            std::vector<std::wstring>({Report(10, L"-2"), Report(12), Report(14), Report(15),
                                       Report(16), Report(17)}));
  EXPECT_TRUE(result.problems.empty());
  EXPECT_EQ(Left(), std::vector<std::wstring>({L"1999-01-01_000000.000_p1", Report(5),
                                               Report(10), Report(11), Report(13), Report(18),
                                               Report(19), L"Outbox", L"saved games"}));
}

TEST_F(RetentionRoot, NothingGoesWhileTheRootIsWithinItsLimit) {
  for (int second = 10; second < 15; ++second) Folder(Report(second));
  EXPECT_TRUE(PruneOldReports(root_, Report(14), 5).removed.empty());
  EXPECT_EQ(Left().size(), 5u);
  EXPECT_TRUE(PruneOldReports(root_ + L"\\missing", L"", 5).removed.empty());
  EXPECT_EQ(kMaxReportsKept, 50u);
}

}  // namespace
}  // namespace orlent
