// The crash signature groups reports of the same crash: it must not change with offsets,
// addresses, decorations or spacing, and must skip what every crash of a kind passes through.
#include "report/crash_signature.h"

#include <gtest/gtest.h>

#include <vector>

namespace orlent {
namespace {

const std::wstring kWindows = L"c:\\windows\\";

Module MakeModule(const wchar_t* name, const wchar_t* folder) {
  Module module;
  module.name = name;
  module.path = std::wstring(folder) + name;
  return module;
}

TEST(CrashSignature, FunctionNamesAreNormalised) {
  const struct {
    const wchar_t* shown;
    const wchar_t* normalized;
  } cases[] = {
      {L"LoadLevel+0x1A", L"LoadLevel"},
      {L"LoadLevel", L"LoadLevel"},
      {L"LoadLevel+26", L"LoadLevel"},
      {L"StartLevel(char const*)+0x92", L"StartLevel(char const*)"},
      {L"StartLevel(char const *)", L"StartLevel(char const*)"},
      {L"f(int,  unsigned   int)+0x3", L"f(int,unsigned int)"},
      {L"  g( int )  ", L"g(int)"},
      {L"std::vector<int, std::allocator<int> >::at(unsigned int)+0x10",
       L"std::vector<int,std::allocator<int>>::at(unsigned int)"},
      {L"Game::operator+(Game const&)+0x4", L"Game::operator+(Game const&)"},
      {L"Game::operator+", L"Game::operator+"},  // not an offset: nothing follows the sign
      {L"_WinMain@16", L"_WinMain"},
      {L"WinMain@16+0x20", L"WinMain"},
      {L"@FastCall@8", L"FastCall"},
      {L"name@host", L"name@host"},
      {L"Load(int)@4", L"Load(int)@4"},  // a C++ name is never decorated so
      {L"main.cold+0x3", L"main"},
      {L"ScoreRatio.part.0", L"ScoreRatio"},
      {L"Mix.isra.0.constprop.1+0x8", L"Mix"},
      {L"Load(int) [clone .constprop.0]+0x8", L"Load(int)"},
      {L"Load(int) [clone .isra.0] [clone .cold]", L"Load(int)"},
      {L"", L""},
  };
  for (const auto& c : cases) EXPECT_EQ(NormalizedFunctionName(c.shown), c.normalized) << c.shown;
}

TEST(CrashSignature, LibraryRunTimeAndSystemModulesArePassedOver) {
  const struct {
    Module module;
    bool passedOver;
  } cases[] = {
      {MakeModule(L"Vessick.dll", L"D:\\game\\"), true},
      {MakeModule(L"VESSICK.DLL", L"D:\\game\\"), true},
      {MakeModule(L"msvcrt.dll", L"D:\\game\\"), true},
      {MakeModule(L"ucrtbase.dll", L"D:\\game\\"), true},
      {MakeModule(L"vcruntime140.dll", L"D:\\game\\"), true},
      {MakeModule(L"msvcp140.dll", L"D:\\game\\"), true},
      {MakeModule(L"api-ms-win-crt-runtime-l1-1-0.dll", L"D:\\game\\"), true},
      {MakeModule(L"libstdc++-6.dll", L"D:\\game\\"), true},
      {MakeModule(L"libgcc_s_dw2-1.dll", L"D:\\game\\"), true},
      {MakeModule(L"kernel32.dll", L"C:\\Windows\\System32\\"), true},
      {MakeModule(L"game.exe", L"C:\\WINDOWS\\"), true},
      {MakeModule(L"game.exe", L"D:\\game\\"), false},
      {MakeModule(L"msvcrt_game.exe", L"D:\\game\\"), false},  // a name, not a run-time DLL
      {MakeModule(L"renderer.dll", L"D:\\windows games\\"), false},
      {MakeModule(L"Vessick.dll.bak", L"D:\\game\\"), false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(IsPassedOverModule(c.module, kWindows), c.passedOver) << c.module.path;
}

TEST(CrashSignature, FirstFramesOfTheHostsOwnCode) {
  const Module game = MakeModule(L"game.exe", L"D:\\game\\");
  const Module render = MakeModule(L"render.dll", L"D:\\game\\");
  const Module vessick = MakeModule(L"Vessick.dll", L"D:\\game\\");
  const Module msvcrt = MakeModule(L"msvcrt.dll", L"C:\\windows\\system32\\");
  const Module kernel = MakeModule(L"kernel32.dll", L"C:\\windows\\system32\\");
  const struct {
    const char* name;
    std::vector<SignatureFrame> frames;
    const wchar_t* signature;
  } cases[] = {
      {"a fault in the host",
       {{&game, L"LoadLevel+0x5"}, {&game, L"main+0x235"}, {&game, L"__tmainCRTStartup+0x22E"},
        {&kernel, L"@BaseThreadInitThunk@12+0x10"}},
       L"game.exe!LoadLevel | game.exe!main"},
      {"abort: the library and the run-time are passed over",
       {{&vessick, L"vessick::OnSigAbrt(int)+0x20"}, {&msvcrt, L"raise+0x74"},
        {&msvcrt, L"abort+0x1E"}, {&game, L"Quit(int)+0x7"}, {&game, L"main+0x10"}},
       L"game.exe!Quit(int) | game.exe!main"},
      {"an uncaught exception: the run-time linked into the host is passed over too",
       {{&vessick, L"vessick::OnSigAbrt(int)+0x20"}, {&msvcrt, L"abort+0x1E"},
        {&game, L"__cxxabiv1::__terminate(void (*)())+0x7"}, {&game, L"std::terminate()+0x10"},
        {&game, L"__cxa_throw+0x47"}, {&game, L"StartLevel(char const*)+0x92"},
        {&game, L"main+0xF1"}, {&game, L"__tmainCRTStartup+0x22E"}, {&game, L"x"}},
       L"game.exe!StartLevel(char const*) | game.exe!main | game.exe!x"},
      {"frames without names say so, never by address",
       {{&render, L""}, {&game, L""}, {&game, L"main+0x3"}},
       L"render.dll!<unknown> | game.exe!<unknown> | game.exe!main"},
      {"a call through a bad pointer",
       {{nullptr, L""}, {nullptr, L""}, {&game, L"Update+0x9"}},
       L"<no module> | game.exe!Update"},
      {"a stack overflow through the stack probe",
       {{&game, L"___chkstk_ms+0x12"}, {&game, L"Descend+0x20"}, {&game, L"Descend+0x20"},
        {&game, L"Descend+0x20"}, {&game, L"Descend+0x20"}},
       L"game.exe!Descend | game.exe!Descend | game.exe!Descend"},
      {"only system frames", {{&kernel, L"Sleep+0x3"}, {&vessick, L"x"}}, L""},
      {"no frames", {}, L""},
  };
  for (const auto& c : cases) EXPECT_EQ(SignatureOf(c.frames, kWindows), c.signature) << c.name;
}

}  // namespace
}  // namespace orlent
