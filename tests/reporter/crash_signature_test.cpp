#include "report/crash_signature.h"

#include <gtest/gtest.h>

namespace orlent {
namespace {

TEST(CrashSignature, NamesAreNormalisedAsEveryBuildWouldShowThem) {
  const struct {
    const wchar_t* shown;
    const wchar_t* normalised;
  } cases[] = {
      {L"LoadLevel+0x1A", L"LoadLevel"},
      {L"LoadLevel", L"LoadLevel"},
      {L"_WinMain@16", L"_WinMain"},
      {L"@Fast@8", L"Fast"},
      {L"f(int, char const *)+0x4", L"f(int,char const*)"},
      {L"Pool<unsigned  int>::Grow(unsigned long)", L"Pool<unsigned int>::Grow(unsigned long)"},
      {L"operator+(Vec, Vec)+0x10", L"operator+(Vec,Vec)"},
      {L"name+notanoffset", L"name+notanoffset"},
  };
  for (const auto& c : cases) EXPECT_EQ(NormalizedFunctionName(c.shown), c.normalised) << c.shown;
}

TEST(CrashSignature, PassesOverTheLibraryTheRunTimeAndTheSystem) {
  const std::wstring windows = L"c:\\windows\\";
  Module host, vessick, crt, kernel, plugin;
  host.name = L"game.exe", host.path = L"D:\\Game\\game.exe";
  vessick.name = L"Vessick.dll", vessick.path = L"D:\\Game\\Vessick.dll";
  crt.name = L"msvcrt.dll", crt.path = L"C:\\Windows\\system32\\msvcrt.dll";
  kernel.name = L"kernel32.dll", kernel.path = L"C:\\Windows\\system32\\kernel32.dll";
  plugin.name = L"render.dll", plugin.path = L"D:\\Game\\render.dll";

  // An abort through Vessick and msvcrt, a -static host's own terminate machinery, then the
  // host's code; a frame past the first in no module is a guess and counts not.
  const std::vector<SignatureFrame> frames = {
      {&vessick, L"vessick::OnSigAbrt(int)+0x20"}, {&crt, L"raise+0x74"},
      {&crt, L"abort+0x1E"},                       {&host, L"__gnu_cxx::__verbose_terminate_handler()+0x9"},
      {&host, L"__cxa_throw+0x3C"},                {nullptr, L""},
      {&host, L"LoadLevel+0x12"},                  {&plugin, L""},
      {&host, L"main+0x235"},                      {&kernel, L"BaseThreadInitThunk+0x10"},
  };
  EXPECT_EQ(SignatureOf(frames, windows),
            L"game.exe!LoadLevel | render.dll!<unknown> | game.exe!main");
  EXPECT_EQ(SignatureOf({{nullptr, L""}, {&host, L"main+0x1"}}, windows),
            L"<no module> | game.exe!main");
  EXPECT_EQ(SignatureOf({{&kernel, L"x"}, {&crt, L"y"}}, windows), L"");
}

}  // namespace
}  // namespace orlent
