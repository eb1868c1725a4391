#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "bug_info.h"
#include "library_state.h"
#include "vessick.h"

namespace vessick {
namespace {

const wchar_t* StringAt(const BugInfoBlock* block, int index) {
  return reinterpret_cast<const wchar_t*>(reinterpret_cast<const uint8_t*>(block) +
                                          block->stringOffsets[index]);
}

std::wstring OwnPath() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

// The process environment block as the system reports it, independent of the TEB read.
uint32_t PebFromSystem() {
  struct {
    LONG exitStatus;
    void* pebBaseAddress;
    ULONG_PTR rest[4];
  } info = {};
  using QueryFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"ntdll"), "NtQueryInformationProcess")));
  if (query == nullptr || query(::GetCurrentProcess(), 0, &info, sizeof info, nullptr) != 0)
    return 0;
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(info.pebBaseAddress));
}

bool AllZero(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < size; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

TEST(BugInfoLayout, WorkedExamples) {
  StringLayout layout;
  const wchar_t* const mixed[] = {L"ab", L"", L"xyz", L"", L"C:\\a.exe"};  // path of 8 units
  ASSERT_TRUE(LayOutStrings(mixed, &layout));
  EXPECT_EQ(layout.totalSize, 1564u);
  const uint32_t expected[] = {1528, 1534, 1536, 1544, 1546};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(layout.offsets[i], expected[i]) << i;

  const wchar_t* const empty[] = {L"", L"", L"", L"", L""};
  ASSERT_TRUE(LayOutStrings(empty, &layout));
  EXPECT_EQ(layout.totalSize, 1538u);
  const uint32_t emptyOffsets[] = {1528, 1530, 1532, 1534, 1536};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(layout.offsets[i], emptyOffsets[i]) << i;
}

TEST(InitOrlent, BuildsTheBlockByteForByte) {
  InitOrlent("ab", "", "xyz", "\xE4\xB8\xAD", 65537, 0xFFFF2, 0x12345, "C:\\tools");
  const BugInfoBlock* block = CurrentBlock();
  ASSERT_NE(block, nullptr);

  const std::wstring hostPath = OwnPath();
  const uint32_t sizes[] = {6, 2, 8, 4, static_cast<uint32_t>((hostPath.size() + 1) * 2)};
  uint32_t offset = 1528;
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(block->stringOffsets[i], offset) << i;
    offset += sizes[i];
  }
  EXPECT_EQ(block->totalSize, offset);  // the last string ends exactly at the end
  EXPECT_STREQ(StringAt(block, 0), L"ab");
  EXPECT_STREQ(StringAt(block, 1), L"");
  EXPECT_STREQ(StringAt(block, 2), L"xyz");
  EXPECT_STREQ(StringAt(block, 3), L"\u4E2D");
  EXPECT_EQ(StringAt(block, 4), hostPath);
  EXPECT_GE(::HeapSize(::GetProcessHeap(), 0, block), block->totalSize);

  EXPECT_EQ(block->reserved, 0u);
  EXPECT_EQ(block->processId, ::GetCurrentProcessId());
  EXPECT_EQ(block->initThreadId, ::GetCurrentThreadId());
  EXPECT_EQ(block->processPeb, PebFromSystem());
  EXPECT_NE(block->processPeb, 0u);
  EXPECT_EQ(block->codeValue, 2052u);
  EXPECT_EQ(block->extraValue, 0u);
  EXPECT_EQ(block->codeOffset, 1u);
  EXPECT_EQ(block->number1, 1u);       // 65537: low 16 bits only
  EXPECT_EQ(block->number2, 0xFFF2u);
  EXPECT_EQ(block->number3, 0x2345u);  // 16 bits, zero-extended
  EXPECT_EQ(block->flag1, 1u);
  EXPECT_EQ(block->flag2, 1u);
  EXPECT_EQ(block->uin, 0u);
  EXPECT_TRUE(AllZero(block->codeModulePath, sizeof block->codeModulePath));
  EXPECT_TRUE(AllZero(block->uinText, sizeof block->uinText));
  EXPECT_TRUE(AllZero(block->unused, sizeof block->unused));

  // Nothing of a report before a fault.
  EXPECT_EQ(block->savedStackBase, 0u);
  EXPECT_EQ(block->savedStackLimit, 0u);
  EXPECT_EQ(block->crashThreadId, 0u);
  EXPECT_EQ(block->crashThreadTeb, 0u);
  EXPECT_EQ(block->exceptionPointers, 0u);
  EXPECT_EQ(block->reportArgument, 0u);
  EXPECT_TRUE(AllZero(&block->exceptionRecord, sizeof block->exceptionRecord));
  EXPECT_TRUE(AllZero(&block->context, sizeof block->context));
}

TEST(InitOrlent, NullTextsCountAsEmpty) {
  InitOrlent(nullptr, nullptr, nullptr, nullptr, 1, 2, 3, nullptr);
  const BugInfoBlock* block = CurrentBlock();
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 4; ++i) EXPECT_STREQ(StringAt(block, i), L"") << i;
  EXPECT_EQ(block->stringOffsets[4], 1536u);
  EXPECT_STREQ(ReporterDir(), L"");
}

TEST(InitOrlent, SetsTheErrorModeToExactlyNoFaultDialog) {
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX | SEM_NOALIGNMENTFAULTEXCEPT);
  InitOrlent("a", "b", "c", "d", 0, 0, 0, "");
  EXPECT_EQ(::GetErrorMode(), static_cast<UINT>(SEM_NOGPFAULTERRORBOX));
  EXPECT_EQ(::GetErrorMode(), 2u);
}

TEST(InitOrlent, KeepsTheReporterFolder) {
  InitOrlent("a", "b", "c", "d", 0, 0, 0, "C:\\\xE6\xB8\xB8\xE6\x88\x8F\\bin");
  EXPECT_STREQ(ReporterDir(), L"C:\\\u6E38\u620F\\bin");
  InitOrlent("a", "b", "c", "d", 0, 0, 0, "");
  EXPECT_STREQ(ReporterDir(), L"");
}

TEST(SetOrlentUin, StoresTheNumberButNoText) {
  InitOrlent("a", "b", "c", "d", 0, 0, 0, "");
  SetOrlentUin(7);
  const BugInfoBlock* block = CurrentBlock();
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->uin, 7u);
  EXPECT_TRUE(AllZero(block->uinText, sizeof block->uinText));
}

TEST(InitOrlent, AgainMakesANewBlockAndKeepsTheOldOne) {
  InitOrlent("first", "b", "c", "d", 0, 0, 0, "");
  SetOrlentUin(99);
  BugInfoBlock* first = CurrentBlock();
  const uint32_t firstSize = first->totalSize;

  InitOrlent("second", "b", "c", "d", 0, 0, 0, "");
  BugInfoBlock* second = CurrentBlock();
  ASSERT_NE(second, first);
  EXPECT_EQ(second->uin, 0u);
  EXPECT_STREQ(StringAt(second, 0), L"second");

  // The earlier block is neither freed nor changed.
  EXPECT_GE(::HeapSize(::GetProcessHeap(), 0, first), firstSize);
  EXPECT_EQ(first->uin, 99u);
  EXPECT_STREQ(StringAt(first, 0), L"first");
}

// The test program's own import slot for HeapAlloc: the library's code linked in here calls
// through it, so pointing it elsewhere makes the block allocation fail.
extern "C" void* heapAllocSlot asm("__imp__HeapAlloc@12");

LPVOID WINAPI FailingHeapAlloc(HANDLE, DWORD, SIZE_T) { return nullptr; }

class HeapAllocFailure {
 public:
  HeapAllocFailure() : saved_(heapAllocSlot) { Patch(reinterpret_cast<void*>(&FailingHeapAlloc)); }
  ~HeapAllocFailure() { Patch(saved_); }

 private:
  static void Patch(void* target) {
    DWORD old = 0;
    ::VirtualProtect(&heapAllocSlot, sizeof(void*), PAGE_READWRITE, &old);
    heapAllocSlot = target;
    ::VirtualProtect(&heapAllocSlot, sizeof(void*), old, &old);
  }
  void* saved_;
};

LONG WINAPI HostFilterForFailedInit(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

TEST(InitOrlent, WithoutHeapNothingChanges) {
  InitOrlent("kept", "b", "c", "d", 5, 0, 0, "C:\\before");
  SetOrlentUin(11);
  BugInfoBlock* before = CurrentBlock();
  ASSERT_NE(before, nullptr);
  // A host filter put in after the first call: a failed call must not put ours back either.
  LPTOP_LEVEL_EXCEPTION_FILTER ours = ::SetUnhandledExceptionFilter(&HostFilterForFailedInit);
  {
    HeapAllocFailure noHeap;
    InitOrlent("lost", "b", "c", "d", 6, 0, 0, "C:\\after");
  }
  EXPECT_EQ(::SetUnhandledExceptionFilter(ours), &HostFilterForFailedInit);
  EXPECT_STREQ(ReporterDir(), L"C:\\before");
  EXPECT_EQ(CurrentBlock(), before);
  EXPECT_STREQ(StringAt(before, 0), L"kept");
  EXPECT_EQ(before->number1, 5u);
  EXPECT_EQ(before->uin, 11u);
  SetOrlentUin(12);  // still usable
  EXPECT_EQ(before->uin, 12u);
}

}  // namespace
}  // namespace vessick
