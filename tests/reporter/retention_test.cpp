#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "store/atomic_file.h"
#include "store/finished_report.h"
#include "store/report_folder.h"
#include "store/retention.h"
#include "store/root_lock.h"
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

std::wstring Report(int second, const wchar_t* suffix = L"") {
  wchar_t name[64];
  std::swprintf(name, 64, L"2024-01-01_0000%02d.000_p7%ls", second, suffix);
  return name;
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

  void Folder(const std::wstring& name, bool finished = true) {
    const std::wstring path = root_ + L"\\" + name;
    ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr)) << path;
    std::wstring error;
    ASSERT_TRUE(WriteFileAtomically(path + L"\\crash.dmp", "MDMP", &error)) << error;
    if (finished) {
      ASSERT_TRUE(WriteFileAtomically(path + L"\\report.txt", "text", &error)) << error;
    }
  }

  void Claim(const std::wstring& name) {
    ::CreateDirectoryW((root_ + L"\\Outbox").c_str(), nullptr);
    std::wstring error;
    ASSERT_TRUE(WriteFileAtomically(root_ + L"\\Outbox\\" + name + L".ini", "x", &error));
  }

  std::vector<std::wstring> Left() const { return FolderEntries(root_); }

  std::wstring root_;
};

// Reports of seconds 10..19 (and a "-2" made after 10 in the same millisecond) in a root that
// keeps five. Besides them the root holds the outbox (whose entries claim 11 and 13), a folder
// of someone else's, an old report-named folder that holds a folder, and one that another
// reporter is still writing (a dump, no report yet): none of these counts or goes. Each case
// names the report just written; nothing younger than it goes.
TEST_F(RetentionRoot, RemovesTheOldestFinishedReportsOlderThanItsOwnOnly) {
  struct Case {
    const char* what;
    std::wstring keep;
    std::vector<std::wstring> removed;
  } cases[] = {
      {"the newest report", Report(19),
       {Report(10), Report(10, L"-2"), Report(12), Report(14), Report(15), Report(16),
        Report(17)}},
      // The limit is not reached: what is younger is its own reporters' business.
      {"a report in the middle", Report(15),
       {Report(10), Report(10, L"-2"), Report(12), Report(14)}},
      // A clock set back: the report just written has the oldest name, and nothing goes.
      {"the oldest name", Report(10), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RemoveTree(root_);
    ASSERT_TRUE(::CreateDirectoryW(root_.c_str(), nullptr));
    std::vector<std::wstring> reports;
    for (int second = 10; second < 20; ++second) reports.push_back(Report(second));
    reports.push_back(Report(10, L"-2"));
    for (const std::wstring& name : reports) Folder(name);
    Claim(Report(11));
    Claim(Report(13));
    Folder(L"saved games");
    Folder(L"1999-01-01_000000.000_p1");
    ASSERT_TRUE(::CreateDirectoryW((root_ + L"\\1999-01-01_000000.000_p1\\inner").c_str(), nullptr));
    Folder(Report(5), false);

    const RetentionResult result = PruneOldReports(root_, c.keep, 5);

    EXPECT_EQ(result.removed, c.removed);
    // The report-named folder that holds a folder is counted, found in the way, and named.
    ASSERT_EQ(result.problems.size(), 1u);
    EXPECT_NE(result.problems[0].find(L"1999-01-01_000000.000_p1 holds a folder: not removed"),
              std::wstring::npos) << result.problems[0];
    std::vector<std::wstring> expected = {L"1999-01-01_000000.000_p1", Report(5), L"Outbox",
                                          L"saved games"};
    for (const std::wstring& name : reports)
      if (std::find(c.removed.begin(), c.removed.end(), name) == c.removed.end())
        expected.push_back(name);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Left(), expected);
  }
}

TEST_F(RetentionRoot, NothingGoesWhileTheRootIsWithinItsLimit) {
  for (int second = 10; second < 15; ++second) Folder(Report(second));
  Folder(Report(9), false);  // not finished: does not count
  const RetentionResult result = PruneOldReports(root_, Report(14), 5);
  EXPECT_TRUE(result.removed.empty());
  EXPECT_TRUE(result.problems.empty());
  EXPECT_EQ(Left().size(), 6u);
  EXPECT_TRUE(PruneOldReports(root_ + L"\\missing", Report(14), 5).removed.empty());
  EXPECT_EQ(kMaxReportsKept, 50u);
}

// Twelve reporters of one process finish at once in a root that holds 20 old reports and
// keeps 15: whatever order they take the lock in, exactly 15 stay, all twelve new ones among
// them.
TEST_F(RetentionRoot, ReportersPruningAtOnceKeepExactlyTheLimit) {
  for (int second = 10; second < 30; ++second) Folder(Report(second));
  std::vector<std::wstring> fresh;
  for (int i = 0; i < 12; ++i) fresh.push_back(L"2025-06-01_120000.000_p" + std::to_wstring(100 + i));
  for (const std::wstring& name : fresh) Folder(name);
  std::vector<RetentionResult> results(fresh.size());
  std::vector<std::thread> reporters;
  for (size_t i = 0; i < fresh.size(); ++i)
    reporters.emplace_back([&, i] { results[i] = PruneOldReports(root_, fresh[i], 15); });
  for (std::thread& reporter : reporters) reporter.join();

  size_t removed = 0;
  for (const RetentionResult& result : results) {
    removed += result.removed.size();
    EXPECT_TRUE(result.problems.empty()) << result.problems[0];
  }
  EXPECT_EQ(removed, 17u);
  const std::vector<std::wstring> left = Left();
  ASSERT_EQ(left.size(), 15u);
  for (const std::wstring& name : fresh)
    EXPECT_TRUE(std::binary_search(left.begin(), left.end(), name)) << name;
  EXPECT_EQ(left.front(), Report(27));
}

TEST(ReportsRootLock, OneNameForEveryWayOfWritingTheRoot) {
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  const std::wstring root = std::wstring(temp) + L"orlent-lock-" + std::to_wstring(::GetCurrentProcessId());
  ASSERT_TRUE(::CreateDirectoryW(root.c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW((root + L"\\Sub").c_str(), nullptr));
  std::wstring lower = root;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::towlower);
  const std::wstring name = ReportsRootLockName(root);
  EXPECT_EQ(name.rfind(L"Local\\orlent-reports-root-", 0), 0u) << name;
  EXPECT_EQ(name.size(), 26u + 16u);
  for (const std::wstring& alias : {root + L"\\", root + L"\\Sub\\..", lower,
                                    root + L"/sub/..", lower + L"\\.\\"})
    EXPECT_EQ(ReportsRootLockName(alias), name) << alias;
  EXPECT_NE(ReportsRootLockName(root + L"\\Sub"), name);
  EXPECT_NE(ReportsRootLockName(root + L"-other"), name);  // not made yet: named all the same
  RemoveTree(root);
}

// The lock is held per thread: these run the second holder on threads of their own.
TEST(ReportsRootLock, ExcludesASecondHolderAndPassesOnWhenItsHolderEnds) {
  const std::wstring root = L"C:\\orlent-lock-test-" + std::to_wstring(::GetCurrentProcessId());
  auto tryOnAnotherThread = [&](DWORD timeoutMs) {
    bool held = false, abandoned = false;
    std::wstring problem;
    std::thread([&] {
      const ReportsRootLock lock(root, timeoutMs);
      held = lock.held(), abandoned = lock.abandoned(), problem = lock.problem();
    }).join();
    return std::make_tuple(held, abandoned, problem);
  };
  {
    const ReportsRootLock mine(root, 0);
    ASSERT_TRUE(mine.held()) << mine.problem();
    EXPECT_FALSE(mine.abandoned());
    const auto [held, abandoned, problem] = tryOnAnotherThread(100);
    EXPECT_FALSE(held);
    EXPECT_NE(problem.find(L"held the reports root's lock for over 100 ms"), std::wstring::npos)
        << problem;
  }
  EXPECT_TRUE(std::get<0>(tryOnAnotherThread(0)));

  // A holder that ends without giving the lock back (a reporter killed while pruning).
  HANDLE raw = ::CreateMutexW(nullptr, FALSE, ReportsRootLockName(root).c_str());
  ASSERT_NE(raw, nullptr);
  win::UniqueKernelHandle mutex(raw);
  std::thread([&] { ASSERT_EQ(::WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0); }).join();
  const auto [held, abandoned, problem] = tryOnAnotherThread(1000);
  EXPECT_TRUE(held) << problem;
  EXPECT_TRUE(abandoned);
  EXPECT_TRUE(std::get<0>(tryOnAnotherThread(0)));
}

}  // namespace
}  // namespace orlent
