#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "store/atomic_file.h"
#include "store/finished_report.h"
#include "store/report_deletion.h"
#include "scratch_folders.h"
#include "win/unique_handle.h"

namespace orlent {
namespace {

class ReportDeletion : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    root_ = std::wstring(temp) + L"orlent-deletion-" + std::to_wstring(::GetCurrentProcessId());
    ASSERT_TRUE(::CreateDirectoryW(root_.c_str(), nullptr));
  }
  void TearDown() override { RemoveTree(root_); }

  void Files(const std::wstring& folder, const std::vector<std::wstring>& names) {
    ASSERT_TRUE(::CreateDirectoryW((root_ + L"\\" + folder).c_str(), nullptr));
    std::wstring error;
    for (const std::wstring& name : names)
      ASSERT_TRUE(WriteFileAtomically(root_ + L"\\" + folder + L"\\" + name, "x", &error)) << error;
  }

  std::wstring root_;
};

constexpr wchar_t kReport[] = L"2024-01-31_101530.007_p812";

// Whatever deletes a report (retention, a declined upload) goes by the same rule.
TEST_F(ReportDeletion, OnlyAReportNamedFolderOfFilesGoes) {
  Files(kReport, {L"crash.dmp", L"report.json", L"report.txt", L"upload.txt"});
  ::SetFileAttributesW((root_ + L"\\" + kReport + L"\\report.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  Files(L"2024-01-31_101530.007_p812-2", {L"report.txt"});
  ASSERT_TRUE(::CreateDirectoryW((root_ + L"\\2024-01-31_101530.007_p812-2\\saves").c_str(), nullptr));
  Files(L"saved games", {L"report.txt"});
  std::wstring error;
  ASSERT_TRUE(WriteFileAtomically(root_ + L"\\2024-01-31_101530.007_p9", "a file", &error));

  const struct {
    const wchar_t* name;
    bool deleted;
    const wchar_t* why;
  } cases[] = {
      {kReport, true, L""},
      {kReport, true, L""},  // gone already
      {L"2024-01-31_101530.007_p812-2", false, L"holds a folder: not removed"},
      {L"saved games", false, L"is not named as a report folder: not removed"},
      {L"..\\saved games", false, L"is not named as a report folder"},
      {L"2024-01-31_101530.007_p9", false, L"is not a folder: not removed"},
  };
  for (const auto& c : cases) {
    std::wstring why;
    EXPECT_EQ(DeleteReport(root_, c.name, &why), c.deleted) << c.name;
    EXPECT_NE(why.find(c.why), std::wstring::npos) << c.name << L": " << why;
  }
  EXPECT_EQ(FolderEntries(root_),
            std::vector<std::wstring>({L"2024-01-31_101530.007_p812-2", L"2024-01-31_101530.007_p9",
                                       L"saved games"}));
  EXPECT_EQ(FolderEntries(root_ + L"\\2024-01-31_101530.007_p812-2"),
            std::vector<std::wstring>({L"report.txt", L"saves"}));
}

// A deletion cut short leaves a report that still counts as finished, so that the next
// deletion takes it: the files that make it finished go last.
TEST_F(ReportDeletion, AReportCutShortStaysFinished) {
  Files(kReport, {L"report.json", L"report.txt", L"crash.dmp", L"upload.txt"});
  const std::wstring answer = root_ + L"\\" + kReport + L"\\upload.txt";
  {
    win::UniqueFileHandle held(::CreateFileW(answer.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
    std::wstring why;
    EXPECT_FALSE(DeleteReport(root_, kReport, &why));
    EXPECT_NE(why.find(L"DeleteFileW failed"), std::wstring::npos) << why;
    EXPECT_TRUE(IsFinishedReport(root_ + L"\\" + kReport));
    const std::vector<std::wstring> left = FolderEntries(root_ + L"\\" + kReport);
    EXPECT_EQ(left, std::vector<std::wstring>({L"report.json", L"report.txt", L"upload.txt"}));
  }
  std::wstring why;
  EXPECT_TRUE(DeleteReport(root_, kReport, &why)) << why;
  EXPECT_TRUE(FolderEntries(root_).empty());
}

}  // namespace
}  // namespace orlent
