#include <gtest/gtest.h>

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "minidump/minidump_check.h"
#include "minidump/overflowed_stack.h"
#include "minidump/stack_attachment.h"
#include "win/unique_handle.h"

namespace orlent {
namespace {

constexpr uint32_t kThreadList = 3, kModuleList = 4, kMemoryList = 5;

template <typename T>
T At(const std::vector<uint8_t>& bytes, size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

template <typename T>
void Put(std::vector<uint8_t>* bytes, size_t offset, const T& value) {
  if (bytes->size() < offset + sizeof value) bytes->resize(offset + sizeof value);
  std::memcpy(bytes->data() + offset, &value, sizeof value);
}

// A dump as dbghelp lays it out: header, directory, a thread list of threads 7 and 9 (each
// with a context whose Esp is `esp` and a 16-byte stack at 0x1000 * id), a module list, and a
// memory list of those stacks unless left out.
std::vector<uint8_t> MakeDump(uint32_t esp, bool withMemoryList) {
  const std::vector<uint32_t> types = withMemoryList
                                          ? std::vector<uint32_t>{kThreadList, kModuleList, kMemoryList}
                                          : std::vector<uint32_t>{kThreadList, kModuleList};
  std::vector<uint8_t> dump;
  Put(&dump, 0, std::array<uint32_t, 4>{0x504D444D, 0xA793, static_cast<uint32_t>(types.size()), 32});
  Put(&dump, 24, uint64_t{0});
  const size_t threads = 32 + types.size() * 12, modules = threads + 4 + 2 * 48;
  const size_t memory = modules + 4, contexts = memory + 4 + 2 * 16;
  const size_t stacks = contexts + 2 * sizeof(CONTEXT);
  const uint32_t ids[] = {7, 9};
  Put(&dump, threads, uint32_t{2});
  Put(&dump, memory, uint32_t{2});
  Put(&dump, modules, uint32_t{0});
  for (int i = 0; i < 2; ++i) {
    const size_t entry = threads + 4 + i * 48;
    Put(&dump, entry, ids[i]);
    Put(&dump, entry + 24, uint64_t{0x1000u * ids[i]});
    Put(&dump, entry + 32, std::array<uint32_t, 2>{16, static_cast<uint32_t>(stacks + i * 16)});
    Put(&dump, entry + 40, std::array<uint32_t, 2>{sizeof(CONTEXT),
                                                   static_cast<uint32_t>(contexts + i * sizeof(CONTEXT))});
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_FULL;
    context.Esp = esp;
    Put(&dump, contexts + i * sizeof(CONTEXT), context);
    Put(&dump, memory + 4 + i * 16, uint64_t{0x1000u * ids[i]});
    Put(&dump, memory + 4 + i * 16 + 8, std::array<uint32_t, 2>{16, static_cast<uint32_t>(stacks + i * 16)});
    Put(&dump, stacks + i * 16, std::array<uint32_t, 4>{ids[i], ids[i], ids[i], ids[i]});
  }
  const size_t offsets[] = {threads, modules, memory};
  const size_t sizes[] = {4 + 2 * 48, 4, 4 + 2 * 16};
  for (size_t i = 0; i < types.size(); ++i)
    Put(&dump, 32 + i * 12, std::array<uint32_t, 3>{types[i], static_cast<uint32_t>(sizes[i]),
                                                    static_cast<uint32_t>(offsets[i])});
  return dump;
}

class DumpOnDisk {
 public:
  explicit DumpOnDisk(const std::vector<uint8_t>& bytes) {
    wchar_t directory[MAX_PATH], path[MAX_PATH];
    ::GetTempPathW(MAX_PATH, directory);
    ::GetTempFileNameW(directory, L"dmp", 0, path);
    file_.reset(::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    DWORD written = 0;
    ::WriteFile(file_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
  HANDLE get() const { return file_.get(); }
  std::vector<uint8_t> Bytes() const {
    LARGE_INTEGER size = {};
    ::GetFileSizeEx(file_.get(), &size);
    std::vector<uint8_t> bytes(static_cast<size_t>(size.QuadPart));
    OVERLAPPED at = {};
    DWORD got = 0;
    ::ReadFile(file_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, &at);
    return bytes;
  }

 private:
  win::UniqueFileHandle file_;
};

struct Descriptor {
  uint64_t start;
  uint32_t size, rva;
};

Descriptor DescriptorAt(const std::vector<uint8_t>& dump, size_t offset) {
  return {At<uint64_t>(dump, offset), At<uint32_t>(dump, offset + 8), At<uint32_t>(dump, offset + 12)};
}

// Where the directory says a stream is; 0 when it has none.
uint32_t StreamRva(const std::vector<uint8_t>& dump, uint32_t type, uint32_t* size = nullptr) {
  const uint32_t count = At<uint32_t>(dump, 8), directory = At<uint32_t>(dump, 12);
  for (uint32_t i = 0; i < count; ++i)
    if (At<uint32_t>(dump, directory + i * 12) == type) {
      if (size != nullptr) *size = At<uint32_t>(dump, directory + i * 12 + 4);
      return At<uint32_t>(dump, directory + i * 12 + 8);
    }
  return 0;
}

TEST(StackAttachment, TheThreadsStackBecomesTheGivenMemoryAndIsListed) {
  const struct {
    const char* what;
    uint32_t esp;  // in the dump's context of the thread
    bool withMemoryList;
    bool contextReplaced;
  } cases[] = {
      {"waiting context on another stack", 0x9000, true, true},
      {"context already on the new stack", 0x500010, true, false},
      {"no memory list: one is added", 0x9000, false, true},
  };
  std::vector<uint8_t> stackBytes(0x3000);
  for (size_t i = 0; i < stackBytes.size(); ++i) stackBytes[i] = static_cast<uint8_t>(i * 7);
  CONTEXT fault = {};
  fault.ContextFlags = CONTEXT_FULL;
  fault.Esp = 0x500100;
  fault.Eip = 0x401234;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<uint8_t> before = MakeDump(c.esp, c.withMemoryList);
    DumpOnDisk file(before);
    ThreadStack stack;
    stack.threadId = 9;
    stack.start = 0x500000;
    stack.bytes = stackBytes;
    stack.context = &fault;
    const StackAttachment result = AttachThreadStack(file.get(), stack);
    ASSERT_TRUE(result.attached) << result.problem;
    EXPECT_EQ(result.contextReplaced, c.contextReplaced);

    const std::vector<uint8_t> after = file.Bytes();
    EXPECT_TRUE(CheckMinidump(file.get(), {kThreadList, kModuleList, kMemoryList}).good);
    const uint32_t threads = StreamRva(after, kThreadList);
    ASSERT_EQ(At<uint32_t>(after, threads), 2u);
    // Thread 7 is as it was; thread 9's stack is the new memory, byte for byte.
    EXPECT_EQ(std::memcmp(after.data() + threads + 4, before.data() + threads + 4, 48), 0);
    const Descriptor nine = DescriptorAt(after, threads + 4 + 48 + 24);
    EXPECT_EQ(nine.start, 0x500000u);
    ASSERT_EQ(nine.size, stackBytes.size());
    EXPECT_EQ(nine.rva % 16, 0u);
    EXPECT_EQ(std::vector<uint8_t>(after.begin() + nine.rva, after.begin() + nine.rva + nine.size),
              stackBytes);
    const uint32_t context = At<uint32_t>(after, threads + 4 + 48 + 44);
    EXPECT_EQ(At<CONTEXT>(after, context).Esp, c.contextReplaced ? fault.Esp : c.esp);
    EXPECT_EQ(At<CONTEXT>(after, context).Eip, c.contextReplaced ? fault.Eip : 0u);

    // The memory list names what it named and the new stack.
    uint32_t listSize = 0;
    const uint32_t list = StreamRva(after, kMemoryList, &listSize);
    const uint32_t listed = c.withMemoryList ? 3 : 1;
    ASSERT_EQ(At<uint32_t>(after, list), listed);
    EXPECT_EQ(listSize, 4 + listed * 16);
    const Descriptor last = DescriptorAt(after, list + 4 + (listed - 1) * 16);
    EXPECT_EQ(last.start, nine.start);
    EXPECT_EQ(last.rva, nine.rva);
    if (c.withMemoryList) {
      EXPECT_EQ(DescriptorAt(after, list + 4).start, 0x7000u);
    }
  }
}

TEST(StackAttachment, ADumpItCannotReadOrAThreadItLacksIsLeftAlone) {
  ThreadStack stack;
  stack.start = 0x500000;
  stack.bytes.assign(64, 1);
  const struct {
    const char* what;
    std::vector<uint8_t> dump;
    uint32_t threadId;
    const wchar_t* problem;
  } cases[] = {
      {"not a dump", std::vector<uint8_t>(200, 'x'), 9, L"no header"},
      {"no such thread", MakeDump(0x9000, true), 8, L"thread 8 is not in the dump's thread list"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DumpOnDisk file(c.dump);
    stack.threadId = c.threadId;
    const StackAttachment result = AttachThreadStack(file.get(), stack);
    EXPECT_FALSE(result.attached);
    EXPECT_NE(result.problem.find(c.problem), std::wstring::npos) << result.problem;
    EXPECT_EQ(file.Bytes(), c.dump);
  }
}

TEST(OverflowedStack, TheRangeRunsFromJustBelowTheFaultUpwardsBounded) {
  constexpr uint32_t kMiB = 1024 * 1024;
  const struct {
    uint32_t esp, limit, base;
    std::optional<AddressRange> range;
  } cases[] = {
      // A 2 MiB stack overflowed near its low end: 1 MiB from just below Esp.
      {0x441F20, 0x441000, 0x640000, AddressRange{0x441E20, 0x441E20 + kMiB}},
      // The red zone stops at the stack's low end.
      {0x441010, 0x441000, 0x640000, AddressRange{0x441000, 0x441000 + kMiB}},
      // A small stack is carried whole above the fault.
      {0x10F000, 0x100000, 0x110000, AddressRange{0x10EF00, 0x110000}},
      {0x100, 0x0, 0x10000, AddressRange{0x0, 0x10000}},
      // Esp not on the saved stack, or no stack at all: nothing.
      {0x640000, 0x441000, 0x640000, std::nullopt},
      {0x440FFC, 0x441000, 0x640000, std::nullopt},
      {0x441F20, 0x640000, 0x441000, std::nullopt},
  };
  for (const auto& c : cases) {
    const std::optional<AddressRange> range = OverflowedStackRange(c.esp, c.limit, c.base);
    EXPECT_EQ(range.has_value(), c.range.has_value()) << std::hex << c.esp;
    if (range && c.range) {
      EXPECT_TRUE(*range == *c.range) << std::hex << c.esp << ": " << range->low << ".."
                                      << range->high;
    }
  }
}

}  // namespace
}  // namespace orlent
