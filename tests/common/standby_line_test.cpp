#include <gtest/gtest.h>

#include <string>

#include "protocol/hand_off_line.h"
#include "protocol/standby_line.h"

namespace vessick {
namespace {

HANDLE H(uintptr_t value) { return reinterpret_cast<HANDLE>(value); }
uintptr_t V(HANDLE handle) { return reinterpret_cast<uintptr_t>(handle); }

StandbyArguments Sample() {
  StandbyArguments arguments;
  arguments.crash = H(0x1F4);
  arguments.quit = H(0x1F8);
  arguments.ready = H(0x1FC);
  arguments.done = H(0x200);
  arguments.process = H(0x204);
  arguments.mailboxAddress = 0x6FE41230;
  arguments.processId = 812;
  return arguments;
}

TEST(StandbyLine, TheLibrarysLineReadsBackFieldForField) {
  wchar_t line[kStandbyLineCapacity];
  FormatStandbyLine(line, Sample());
  EXPECT_STREQ(line, L"orlent /standby:000001F4:000001F8:000001FC:00000200:00000204:6FE41230:812");
  std::wstring error;
  const auto parsed = ParseStandbyCommandLine(line, &error);
  ASSERT_TRUE(parsed) << error;
  EXPECT_EQ(V(parsed->crash), 0x1F4u);
  EXPECT_EQ(V(parsed->quit), 0x1F8u);
  EXPECT_EQ(V(parsed->ready), 0x1FCu);
  EXPECT_EQ(V(parsed->done), 0x200u);
  EXPECT_EQ(V(parsed->process), 0x204u);
  EXPECT_EQ(parsed->mailboxAddress, 0x6FE41230u);
  EXPECT_EQ(parsed->processId, 812u);
}

TEST(StandbyLine, TheLongestLineFits) {
  StandbyArguments widest = Sample();
  widest.crash = widest.quit = widest.ready = widest.done = widest.process = H(0xFFFFFFFF);
  widest.mailboxAddress = 0xFFFFFFFF;
  widest.processId = 4294967295u;
  wchar_t line[kStandbyLineCapacity];
  FormatStandbyLine(line, widest);
  std::wstring error;
  const auto parsed = ParseStandbyCommandLine(line, &error);
  ASSERT_TRUE(parsed) << error;
  EXPECT_EQ(parsed->processId, 4294967295u);
}

TEST(StandbyLine, RefusesAnythingElseWithAReason) {
  for (const wchar_t* line : {
           L"orlent /standby:", L"orlent /standby:1:2:3:4:5:6", L"orlent /standby:1:2:3:4:5:6:",
           L"orlent /standby:1:2:3:4:5:6:7:8", L"orlent /standby:1:2:3:4:5:6:07",
           L"orlent /standby:0:2:3:4:5:6:7", L"orlent /standby:1:2:3:4:5:0:7",
           L"orlent /standby:1:2:3:4:5:6:0", L"orlent /standby:1:2:3:4:5:123456789:7",
           L"orlent /standby:1:2:3:4:5:6:7 x", L"orlent /STANDBY:1:2:3:4:5:6:7"}) {
    std::wstring error;
    EXPECT_FALSE(ParseStandbyCommandLine(line, &error)) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
}

// Each reporter tells the two lines apart by the argument alone; the /buginfo: parser, which a
// reporter without standby support has, turns the standby line down (and so that reporter
// exits at once, which the host's crash path counts as a dead standby).
TEST(StandbyLine, TheTwoLinesAreNeverTakenForEachOther) {
  wchar_t standby[kStandbyLineCapacity];
  FormatStandbyLine(standby, Sample());
  wchar_t handOff[kHandOffLineCapacity];
  FormatHandOffLine(handOff, H(0x1F4), H(0x1F8), reinterpret_cast<void*>(0xA51230), 812);
  std::wstring error;
  EXPECT_TRUE(IsStandbyCommandLine(standby));
  EXPECT_FALSE(IsStandbyCommandLine(handOff));
  EXPECT_FALSE(ParseHandOffCommandLine(standby, &error));
  EXPECT_FALSE(ParseStandbyCommandLine(handOff, &error));
  EXPECT_TRUE(IsStandbyCommandLine(L"\"C:\\Program Files\\orlent.exe\"  /standby:junk"));
  EXPECT_FALSE(IsStandbyCommandLine(L"orlent"));
  EXPECT_FALSE(IsStandbyCommandLine(nullptr));
}

}  // namespace
}  // namespace vessick
