// The identity of a module is read from headers in the crashed process: untrusted input. Each
// case damages one field of a well-formed image laid out at the end of a readable page, whose
// next page cannot be read, and says what must still be found.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <functional>
#include <string>

#include "debuginfo/mapped_file.h"
#include "debuginfo/pe_image.h"
#include "process/fault_reason.h"
#include "process/module_identity.h"
#include "process/remote_memory.h"

namespace orlent {
namespace {

constexpr uint32_t kPage = 0x1000;
constexpr uint32_t kNtAt = 0x80;
constexpr uint32_t kDebugAt = 0x200;
constexpr uint32_t kRecordAt = 0x300;
constexpr uint32_t kStamp = 0x5F00AA11;
constexpr uint8_t kGuid[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

struct Image {
  uint8_t* bytes;
  IMAGE_DOS_HEADER& dos() { return *reinterpret_cast<IMAGE_DOS_HEADER*>(bytes); }
  IMAGE_NT_HEADERS32& nt() { return *reinterpret_cast<IMAGE_NT_HEADERS32*>(bytes + kNtAt); }
  IMAGE_SECTION_HEADER& section() {
    return *reinterpret_cast<IMAGE_SECTION_HEADER*>(bytes + kNtAt + sizeof(IMAGE_NT_HEADERS32));
  }
  IMAGE_DATA_DIRECTORY& debugDirectory() {
    return nt().OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
  }
  IMAGE_DEBUG_DIRECTORY& debug() {
    return *reinterpret_cast<IMAGE_DEBUG_DIRECTORY*>(bytes + kDebugAt);
  }
  uint8_t* record() { return bytes + kRecordAt; }
};

// A PE image with one .eh_frame section and a CodeView record that names "game.pdb".
void Build(Image image) {
  std::memset(image.bytes, 0, kPage);
  image.dos().e_magic = IMAGE_DOS_SIGNATURE;
  image.dos().e_lfanew = kNtAt;
  IMAGE_NT_HEADERS32& nt = image.nt();
  nt.Signature = IMAGE_NT_SIGNATURE;
  nt.FileHeader.Machine = IMAGE_FILE_MACHINE_I386;
  nt.FileHeader.NumberOfSections = 1;
  nt.FileHeader.TimeDateStamp = kStamp;
  nt.FileHeader.SizeOfOptionalHeader = sizeof(IMAGE_OPTIONAL_HEADER32);
  nt.OptionalHeader.Magic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
  nt.OptionalHeader.SizeOfImage = kPage;
  nt.OptionalHeader.NumberOfRvaAndSizes = IMAGE_NUMBEROF_DIRECTORY_ENTRIES;
  image.debugDirectory() = {kDebugAt, sizeof(IMAGE_DEBUG_DIRECTORY)};
  std::memcpy(image.section().Name, ".eh_fram", 8);
  image.debug().Type = IMAGE_DEBUG_TYPE_CODEVIEW;
  image.debug().SizeOfData = 24 + 9;
  image.debug().AddressOfRawData = kRecordAt;
  std::memcpy(image.record(), "RSDS", 4);
  std::memcpy(image.record() + 4, kGuid, 16);
  const uint32_t age = 7;
  std::memcpy(image.record() + 20, &age, 4);
  std::memcpy(image.record() + 24, "game.pdb", 9);
}

struct Expected {
  bool read;
  bool found;
  bool codeView;
  bool emptyPdbName;
  bool callFrameInfo;
  const wchar_t* pdbName = L"";
};

struct Case {
  const char* name;
  std::function<void(Image)> damage;
  Expected expected;
};

const Case kCases[] = {
    {"intact", [](Image) {}, {true, true, true, false, true, L"game.pdb"}},
    {"no MZ", [](Image i) { i.dos().e_magic = 0; }, {false, false, false, false, false}},
    {"e_lfanew negative", [](Image i) { i.dos().e_lfanew = -8; }, {false, false, false, false, false}},
    {"e_lfanew absurd", [](Image i) { i.dos().e_lfanew = 0x7FFFFFF0; }, {false, false, false, false, false}},
    {"NT headers cut by the page end", [](Image i) { i.dos().e_lfanew = kPage - 0x40; },
     {false, false, false, false, false}},
    {"PE32+ magic", [](Image i) { i.nt().OptionalHeader.Magic = 0x20B; }, {false, false, false, false, false}},
    {"65535 sections", [](Image i) { i.nt().FileHeader.NumberOfSections = 0xFFFF; },
     {true, true, true, false, true, L"game.pdb"}},
    {"optional header size past the page",
     [](Image i) { i.nt().FileHeader.SizeOfOptionalHeader = 0xFFFF; },
     {true, true, true, false, false, L"game.pdb"}},
    {"two data directories", [](Image i) { i.nt().OptionalHeader.NumberOfRvaAndSizes = 2; },
     {true, true, false, false, true}},
    {"debug directory beyond the image", [](Image i) { i.debugDirectory().VirtualAddress = kPage * 4; },
     {true, true, false, false, true}},
    {"debug directory wraps the address space",
     [](Image i) {
       i.nt().OptionalHeader.SizeOfImage = 0xFFFFFFFF;
       i.debugDirectory().VirtualAddress = 0xFFFFFF00;
     },
     {true, true, false, false, true}},
    {"debug directory of 2^28 entries, none CodeView",
     [](Image i) {
       i.debugDirectory().Size = 0xFFFFFFF0;
       i.debug().Type = IMAGE_DEBUG_TYPE_COFF;
     },
     {true, true, false, false, true}},
    {"record cut by the page end", [](Image i) { i.debug().AddressOfRawData = kPage - 8; },
     {true, true, false, false, true}},
    {"record address wraps",
     [](Image i) {
       i.nt().OptionalHeader.SizeOfImage = 0xFFFFFFFF;
       i.debug().AddressOfRawData = 0xFFFFFFF0;
     },
     {true, true, false, false, true}},
    {"NB10 record", [](Image i) { std::memcpy(i.record(), "NB10", 4); }, {true, true, false, false, true}},
    {"record shorter than RSDS", [](Image i) { i.debug().SizeOfData = 12; }, {true, true, false, false, true}},
    {"record without a file name", [](Image i) { i.debug().SizeOfData = 24; }, {true, true, true, true, true}},
    {"empty file name", [](Image i) { i.record()[24] = 0; }, {true, true, true, true, true}},
    // The name as MSVC records it, a full path; and names that are not names.
    {"full path, UTF-8",
     [](Image i) {
       const char path[] = "D:\\b\\\xE6\xB8\xB8\xE6\x88\x8F.pdb";
       std::memcpy(i.record() + 24, path, sizeof path);
       i.debug().SizeOfData = 24 + sizeof path;
     },
     {true, true, true, false, true, L"D:\\b\\\u6E38\u620F.pdb"}},
    {"name without its NUL inside the record", [](Image i) { i.debug().SizeOfData = 24 + 8; },
     {true, true, true, true, true}},
    {"name with a control character", [](Image i) { i.record()[26] = '\n'; },
     {true, true, true, true, true}},
    {"name longer than a path may be",
     [](Image i) {
       std::memset(i.record() + 24, 'a', 600);
       i.record()[24 + 600] = 0;
       i.debug().SizeOfData = 24 + 601;
     },
     {true, true, true, true, true}},
    {"name cut by the page end",
     [](Image i) {
       i.debug().AddressOfRawData = kPage - 24 - 4;
       std::memmove(i.bytes + kPage - 28, i.record(), 24);
       std::memcpy(i.bytes + kPage - 4, "game", 4);
     },
     {true, true, true, true, true}},
};

TEST(ModuleIdentity, DamagedHeadersAreReadSafelyAndAsFarAsTheyGo) {
  // The image's page is followed by one that cannot be read.
  void* region = ::VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  ASSERT_NE(region, nullptr);
  DWORD old = 0;
  ASSERT_TRUE(::VirtualProtect(static_cast<uint8_t*>(region) + kPage, kPage, PAGE_NOACCESS, &old));
  const Image image{static_cast<uint8_t*>(region)};
  const uint32_t base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(region));
  const RemoteMemory memory(::GetCurrentProcess());
  for (const Case& c : kCases) {
    Build(image);
    c.damage(image);
    ModuleIdentity identity;
    const bool read = ReadModuleIdentity(memory, base, L"", &identity);
    SCOPED_TRACE(c.name);
    EXPECT_EQ(read, c.expected.read);
    EXPECT_EQ(identity.found, c.expected.found);
    EXPECT_EQ(identity.hasCodeView, c.expected.codeView);
    EXPECT_EQ(identity.emptyPdbName, c.expected.emptyPdbName);
    EXPECT_EQ(identity.callFrameInfo, c.expected.callFrameInfo);
    EXPECT_EQ(identity.pdbName, c.expected.pdbName);
    if (identity.found) {
      EXPECT_EQ(identity.timeDateStamp, kStamp);
    }
    if (identity.hasCodeView) {
      EXPECT_EQ(std::memcmp(identity.guid, kGuid, 16), 0);
      EXPECT_EQ(identity.age, 7u);
    }
  }
  ::VirtualFree(region, 0, MEM_RELEASE);
  uint8_t guid[16];
  std::memcpy(guid, kGuid, 16);
  EXPECT_EQ(GuidText(guid), L"{04030201-0605-0807-090A-0B0C0D0E0F10}");
}

TEST(ModuleIdentity, SymbolServerKeys) {
  // {5A9832E5-2872-41C1-838E-D98914E9B7FF} as stored: the first three fields little-endian.
  const uint8_t guid[16] = {0xE5, 0x32, 0x98, 0x5A, 0x72, 0x28, 0xC1, 0x41,
                            0x83, 0x8E, 0xD9, 0x89, 0x14, 0xE9, 0xB7, 0xFF};
  EXPECT_EQ(GuidText(guid), L"{5A9832E5-2872-41C1-838E-D98914E9B7FF}");
  EXPECT_EQ(DebugIdText(guid, 1), L"5A9832E5287241C1838ED98914E9B7FF1");
  EXPECT_EQ(DebugIdText(guid, 0x1A2B), L"5A9832E5287241C1838ED98914E9B7FF1A2B");
  const uint8_t zero[16] = {};
  EXPECT_EQ(DebugIdText(zero, 0), L"000000000000000000000000000000000");
  struct {
    uint32_t stamp, size;
    const wchar_t* expected;
  } codeIds[] = {{0x6B1811E3, 0x96000, L"6B1811E396000"},
                 {0x00000001, 0x1000, L"000000011000"},
                 {0xFFFFFFFF, 0xFFFFFFFF, L"FFFFFFFFffffffff"}};
  for (const auto& c : codeIds) EXPECT_EQ(CodeIdText(c.stamp, c.size), c.expected);
  struct {
    const wchar_t* recorded;
    const wchar_t* file;
  } names[] = {{L"game.pdb", L"game.pdb"},
               {L"C:\\build\\out\\game.pdb", L"game.pdb"},
               {L"/home/ci/out/game.pdb", L"game.pdb"},
               {L"out/", L""},
               {L"", L""}};
  for (const auto& n : names) EXPECT_EQ(DebugFileName(n.recorded), n.file) << n.recorded;
}

// What the reporter reads from a loaded module's memory must agree with the module's file as
// an independent parser of the file reads it, for a module linked with a named debug file and
// for one linked plainly.
TEST(ModuleIdentity, LoadedModulesAgreeWithTheirFiles) {
  struct {
    const wchar_t* dll;
    bool codeView;
    const wchar_t* pdbName;
  } cases[] = {{L"identity_probe_named.dll", true, L"identity_probe_named.pdb"},
               {L"identity_probe_plain.dll", false, L""}};
  const RemoteMemory memory(::GetCurrentProcess());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dll);
    HMODULE module = ::LoadLibraryW(c.dll);
    ASSERT_NE(module, nullptr);
    wchar_t path[MAX_PATH];
    ASSERT_GT(::GetModuleFileNameW(module, path, MAX_PATH), 0u);
    ModuleIdentity identity;
    ASSERT_TRUE(ReadModuleIdentity(
        memory, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(module)), path, &identity));
    std::wstring error;
    const auto file = debuginfo::MappedFile::Open(path, &error);
    ASSERT_TRUE(file) << error;
    const auto image = debuginfo::PeImage::Parse(file->bytes());
    ASSERT_TRUE(image);
    EXPECT_EQ(identity.timeDateStamp, image->timeDateStamp());
    EXPECT_EQ(identity.sizeOfImage, image->sizeOfImage());
    EXPECT_TRUE(identity.callFrameInfo);
    EXPECT_EQ(identity.hasCodeView, c.codeView);
    EXPECT_EQ(image->codeView().has_value(), c.codeView);
    EXPECT_EQ(identity.pdbName, c.pdbName);
    EXPECT_FALSE(identity.emptyPdbName);  // both records, where there is one, name a file
    if (c.codeView && image->codeView()) {
      EXPECT_EQ(std::memcmp(identity.guid, image->codeView()->guid, 16), 0);
      EXPECT_EQ(identity.age, image->codeView()->age);
      EXPECT_EQ(identity.age, 1u);  // a fresh link
      EXPECT_NE(DebugIdText(identity.guid, identity.age), L"000000000000000000000000000000001");
    }
    ::FreeLibrary(module);
  }
}

TEST(FaultReason, TheHandlerBodyNamesTheReason) {
  struct ReasonCase {
    std::vector<std::wstring> functions;
    const wchar_t* body;
    const wchar_t* reason;
  } cases[] = {
      {{L"OnSigAbrt+0x1C"}, L"OnSigAbrt", L"abort() was called (SIGABRT)"},
      {{L"vessick::OnTerminate()+0x40"}, L"OnTerminate", L"uncaught C++ exception (terminate)"},
      {{L"", L"raise+0x10", L"OnPureCall+0x8"}, L"OnPureCall", L"pure virtual call"},
      {{L"OnNewHandler"}, L"OnNewHandler", L"out of memory in operator new"},
      {{L"OnInvalidParameter(wchar_t const*)+0x2"}, L"OnInvalidParameter",
       L"invalid parameter passed to a C run-time function"},
      {{L"OnSigSegv+0x3"}, L"OnSigSegv", L"segmentation fault signal (SIGSEGV) raised by code"},
      {{L"OnSigFpe+0x3"}, L"OnSigFpe", L"floating-point signal (SIGFPE) raised by code"},
      {{L"OnSigInt+0x3"}, L"OnSigInt", L"interrupted (SIGINT, Ctrl+C)"},
      {{L"OnSigTerm+0x3"}, L"OnSigTerm", L"termination requested (SIGTERM)"},
      {{L"OnSigIll+0x3"}, L"OnSigIll", L"illegal instruction signal (SIGILL) raised"},
      {{L"OnUnexpected+0x3"}, L"OnUnexpected",
       L"exception outside a function's throw() list (unexpected)"},
      // The innermost body wins: terminate entered from a pure call's abort is an abort.
      {{L"OnSigAbrt+0x1C", L"abort+0x20", L"OnTerminate+0x10"}, L"OnSigAbrt",
       L"abort() was called (SIGABRT)"},
      // Not whole identifiers, or no body at all.
      {{L"OnSigAbrtHelper+0x1", L"MyOnTerminate+0x2", L"OnSigAbrt2"}, L"", L""},
      {{L"main+0x10", L"LoadLevel+0x3"}, L"", L""},
      {{}, L"", L""},
  };
  for (const ReasonCase& c : cases) {
    const FaultReason reason = ReasonFromHandlerBody(c.functions);
    EXPECT_EQ(reason.body, c.body) << (c.functions.empty() ? L"" : c.functions[0]);
    EXPECT_EQ(reason.reason, c.reason) << (c.functions.empty() ? L"" : c.functions[0]);
  }
}

}  // namespace
}  // namespace orlent
