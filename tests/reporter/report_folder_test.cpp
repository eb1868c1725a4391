#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "store/atomic_file.h"
#include "store/report_folder.h"
#include "store/reports_root.h"
#include "scratch_folders.h"

namespace orlent {
namespace {

std::wstring ScratchFolder() {
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + L"orlent-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
         std::to_wstring(::GetTickCount());
}

// Every test's scratch folder, removed when the test ends, also when it fails.
class ReportFolder : public ::testing::Test {
 protected:
  std::wstring Scratch() {
    scratch_.push_back(ScratchFolder() + L"-" + std::to_wstring(scratch_.size()));
    return scratch_.back();
  }
  void TearDown() override {
    for (const std::wstring& folder : scratch_) RemoveTree(folder);
  }

 private:
  std::vector<std::wstring> scratch_;
};

SYSTEMTIME Utc(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms) {
  SYSTEMTIME t = {};
  t.wYear = year, t.wMonth = month, t.wDay = day, t.wHour = hour, t.wMinute = minute,
  t.wSecond = second, t.wMilliseconds = ms;
  return t;
}

TEST_F(ReportFolder, NamesSortByTime) {
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

TEST_F(ReportFolder, CreatesTheRootAndNeverReusesAFolder) {
  const std::wstring root = Scratch() + L"\\deeper\\reports";
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
  EXPECT_EQ(FolderEntries(root).size(), 3u);
}

TEST_F(ReportFolder, ARootThatCannotBeMadeIsAnError) {
  const std::wstring scratch = Scratch();
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

TEST_F(ReportFolder, FilesAppearWholeUnderTheirNames) {
  const std::wstring scratch = Scratch();
  ASSERT_TRUE(::CreateDirectoryW(scratch.c_str(), nullptr));
  std::wstring error;
  ASSERT_TRUE(WriteFileAtomically(scratch + L"\\report.txt", "first", &error)) << error;
  ASSERT_TRUE(WriteFileAtomically(scratch + L"\\report.txt", "second text", &error)) << error;
  EXPECT_EQ(FolderEntries(scratch), std::vector<std::wstring>({L"report.txt"}));  // no .tmp left
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(::GetFileAttributesExW((scratch + L"\\report.txt").c_str(), GetFileExInfoStandard,
                                     &data));
  EXPECT_EQ(data.nFileSizeLow, 11u);
}

TEST_F(ReportFolder, TheEnvironmentChoosesTheRoot) {
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

// Restores an environment variable (or its absence) when the test ends, also when it fails.
class SavedVariable {
 public:
  explicit SavedVariable(const wchar_t* name) : name_(name) {
    std::vector<wchar_t> value(32768);
    const DWORD length = ::GetEnvironmentVariableW(name, value.data(), 32768);
    if (length > 0 || ::GetLastError() != ERROR_ENVVAR_NOT_FOUND)
      value_ = std::wstring(value.data(), length);
  }
  ~SavedVariable() { ::SetEnvironmentVariableW(name_, value_ ? value_->c_str() : nullptr); }
  const std::optional<std::wstring>& value() const { return value_; }

 private:
  const wchar_t* name_;
  std::optional<std::wstring> value_;
};

// %LOCALAPPDATA% is taken when it names a full path; anything else is left to the shell. The
// variable the session set must agree with the shell, or the default root would move.
TEST(LocalAppData, TheVariableWhenAFullPathElseTheShell) {
  wchar_t shell[MAX_PATH] = {};
  ASSERT_TRUE(SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr,
                                           SHGFP_TYPE_CURRENT, shell)));
  const SavedVariable saved(L"LOCALAPPDATA");
  ASSERT_TRUE(saved.value());
  EXPECT_EQ(*saved.value(), shell);
  const struct {
    const wchar_t* value;
    std::wstring expected;
  } cases[] = {
      {nullptr, shell},
      {L"", shell},
      {L"relative\\local", shell},
      {L"C:local", shell},             // relative to drive C:'s current folder
      {L"\\rooted\\no drive", shell},  // on whatever the current drive is
      {L"D:\\elsewhere\\local", L"D:\\elsewhere\\local"},
      {L"D:/elsewhere/local", L"D:/elsewhere/local"},
      {L"\\\\server\\share\\local", L"\\\\server\\share\\local"},
  };
  for (const auto& test : cases) {
    ::SetEnvironmentVariableW(L"LOCALAPPDATA", test.value);
    std::wstring error;
    EXPECT_EQ(LocalAppDataFolder(&error).value_or(L"(none: " + error + L")"), test.expected)
        << (test.value ? test.value : L"(unset)");
  }
}

// Unusable roots are passed over in order, each with its reason, and the note names where the
// report went; the last choice is where the reporter falls back to the temporary folder.
TEST_F(ReportFolder, UnusableRootsFallBackInOrderAndSaySo) {
  const std::wstring scratch = Scratch();
  ASSERT_TRUE(::CreateDirectoryW(scratch.c_str(), nullptr));
  std::wstring error;
  ASSERT_TRUE(WriteFileAtomically(scratch + L"\\file", "x", &error)) << error;
  const ReportsRootChoice file{scratch + L"\\file", L"ORLENT_REPORTS_DIR"};
  const ReportsRootChoice under{scratch + L"\\file\\below", L"the default reports root"};
  const ReportsRootChoice usable{scratch + L"\\temp\\reports", L"the temporary folder"};
  const SYSTEMTIME when = Utc(2024, 1, 31, 10, 15, 30, 7);

  auto first = CreateReportFolderInFirstUsable({usable, file}, when, 9, &error);
  ASSERT_TRUE(first) << error;
  EXPECT_EQ(first->folder, usable.root + L"\\2024-01-31_101530.007_p9");
  EXPECT_EQ(first->note, L"");

  auto fallen = CreateReportFolderInFirstUsable({file, under, usable}, when, 9, &error);
  ASSERT_TRUE(fallen) << error;
  EXPECT_EQ(fallen->folder, usable.root + L"\\2024-01-31_101530.007_p9-2");
  EXPECT_EQ(fallen->note.find(L"ORLENT_REPORTS_DIR (" + file.root + L") cannot be used: "), 0u)
      << fallen->note;
  EXPECT_NE(fallen->note.find(L"; the default reports root (" + under.root + L") cannot be used: "),
            std::wstring::npos) << fallen->note;
  const std::wstring went = L"; the report went to the temporary folder (" + usable.root + L")";
  EXPECT_EQ(fallen->note.substr(fallen->note.size() - went.size()), went) << fallen->note;

  EXPECT_FALSE(CreateReportFolderInFirstUsable({file, under}, when, 9, &error));
  EXPECT_NE(error.find(L"the default reports root ("), std::wstring::npos) << error;
  EXPECT_FALSE(CreateReportFolderInFirstUsable({}, when, 9, &error));
}

TEST_F(ReportFolder, TheChoicesEndWithTheDefaultRootAndTheTemporaryFolder) {
  ::SetEnvironmentVariableW(kReportsRootVariable, L"D:\\elsewhere");
  std::vector<ReportsRootChoice> choices = ReportsRootChoices();
  ASSERT_EQ(choices.size(), 3u);
  EXPECT_EQ(choices[0].root, L"D:\\elsewhere");
  EXPECT_NE(choices[1].root.find(L"\\Vessick\\CrashReports"), std::wstring::npos);
  wchar_t temp[MAX_PATH + 1];
  ::GetTempPathW(MAX_PATH + 1, temp);
  EXPECT_EQ(choices[2].root, std::wstring(temp) + L"Vessick\\CrashReports");
  ::SetEnvironmentVariableW(kReportsRootVariable, nullptr);
  EXPECT_EQ(ReportsRootChoices().size(), 2u);
}

}  // namespace
}  // namespace orlent
