#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "process/module_symbols.h"

extern "C" __attribute__((noinline)) int CNamedForTheTest(int x) { return x * 3 + 1; }

namespace orlent {
namespace {

__attribute__((noinline)) int NamedForTheTest(int x) { return CNamedForTheTest(x) + 2; }

int dataForTheTest = 5;

struct Module {
  std::wstring path;
  uintptr_t base;
};

Module ModuleOf(const void* address) {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<const wchar_t*>(address), &module);
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(module, path, MAX_PATH);
  return {path, reinterpret_cast<uintptr_t>(module)};
}

uint32_t Rva(const Module& module, const void* address) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address) - module.base);
}

TEST(ModuleSymbols, NamesFunctionsFromTheSymbolTable) {
  const Module self = ModuleOf(reinterpret_cast<const void*>(&NamedForTheTest));
  const ModuleSymbols symbols = ModuleSymbols::Load(self.path);
  ASSERT_GT(symbols.size(), 100u);
  const uint32_t cpp = Rva(self, reinterpret_cast<const void*>(&NamedForTheTest));
  EXPECT_EQ(symbols.Describe(cpp), L"orlent::(anonymous namespace)::NamedForTheTest(int)+0x0");
  EXPECT_EQ(symbols.Describe(cpp + 3), L"orlent::(anonymous namespace)::NamedForTheTest(int)+0x3");
  const uint32_t c = Rva(self, reinterpret_cast<const void*>(&CNamedForTheTest));
  EXPECT_EQ(symbols.Describe(c + 1), L"CNamedForTheTest+0x1");
  EXPECT_EQ(symbols.Describe(Rva(self, &dataForTheTest)), L"");  // data, not code
  EXPECT_EQ(symbols.Describe(0), L"");                          // the headers
  // A return address just past a function's end belongs to that function's last call.
  EXPECT_EQ(symbols.Describe(c, /*returnAddress=*/true).rfind(L"CNamedForTheTest", 0),
            std::wstring::npos);
  EXPECT_EQ(NamedForTheTest(1), 6);
}

TEST(ModuleSymbols, NamesExportsOfSystemModules) {
  const void* function = reinterpret_cast<const void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetCurrentProcessId"));
  ASSERT_NE(function, nullptr);
  const Module owner = ModuleOf(function);  // kernel32 or where it forwards to
  const std::wstring name = ModuleSymbols::Load(owner.path).Describe(Rva(owner, function));
  EXPECT_NE(name.find(L"GetCurrentProcessId"), std::wstring::npos) << name;
  EXPECT_NE(name.find(L"+0x0"), std::wstring::npos) << name;
}

// A stripped DLL has only its exports: a frame found by scanning the stack that is not at an
// export's start may be in any internal function after it, and is left unnamed.
TEST(ModuleSymbols, AScannedFrameIsNotNamedAfterAPrecedingExport) {
  HMODULE sample = ::LoadLibraryW(L"libdwarf_sample_split.dll");
  ASSERT_NE(sample, nullptr);
  const void* entry = reinterpret_cast<const void*>(::GetProcAddress(sample, "SampleEntry"));
  ASSERT_NE(entry, nullptr);
  const Module owner = ModuleOf(entry);
  const ModuleSymbols symbols = ModuleSymbols::Load(owner.path);
  const uint32_t rva = Rva(owner, entry);
  struct Case {
    uint32_t rva;
    bool returnAddress, scanned;
    const wchar_t* name;
  } cases[] = {
      {rva + 0x10, false, false, L"SampleEntry+0x10"},
      {rva + 0x10, true, false, L"SampleEntry+0x10"},
      {rva + 0x10, true, true, L""},
      {rva, false, true, L"SampleEntry+0x0"},
      {rva + 1, true, true, L"SampleEntry+0x1"},  // the call before it is at the export
  };
  for (const Case& c : cases)
    EXPECT_EQ(symbols.Describe(c.rva, c.returnAddress, c.scanned), c.name)
        << std::hex << c.rva << " scanned " << c.scanned;
  ::FreeLibrary(sample);
}

TEST(ModuleSymbols, NamesAsDevelopersReadThem) {
  EXPECT_EQ(ReadableSymbolName("_main"), L"main");
  EXPECT_EQ(ReadableSymbolName("__ZN3foo3barEv"), L"foo::bar()");
  EXPECT_EQ(ReadableSymbolName("__Z_not_a_name"), L"_Z_not_a_name");
  EXPECT_EQ(ReadableSymbolName("_\xE9"), L"\xE9");
}

// A module file is untrusted input too: damaged headers and tables give fewer names, never a
// fault or a read outside the file.
TEST(ModuleSymbols, DamagedFilesAreReadSafely) {
  const Module self = ModuleOf(reinterpret_cast<const void*>(&NamedForTheTest));
  std::ifstream in(self.path.c_str(), std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  ASSERT_GT(file.size(), 4096u);
  std::mt19937 rng(99);
  for (int n = 0; n < 400; ++n) {
    std::vector<uint8_t> head(file.begin(), file.begin() + 4096);  // headers and directories
    for (int c = 1 + n % 8; c > 0; --c) head[rng() % (n % 2 ? 512 : 4096)] = static_cast<uint8_t>(rng());
    const uint64_t size = n % 5 == 0 ? rng() % file.size() : file.size();
    const ModuleSymbols::Reader read = [&](uint64_t offset, void* buffer, size_t length) {
      if (offset > size || length > size - offset) return false;
      for (size_t i = 0; i < length; ++i) {
        const uint64_t at = offset + i;
        static_cast<uint8_t*>(buffer)[i] = at < head.size() ? head[at] : file[at];
      }
      return true;
    };
    const ModuleSymbols symbols = ModuleSymbols::Parse(read, size);
    for (uint32_t rva : {0u, 0x1000u, 0x1234u, 0xFFFFFFFFu}) symbols.Describe(rva);
  }
}

}  // namespace
}  // namespace orlent
