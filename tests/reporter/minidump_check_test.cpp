#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "minidump/minidump_check.h"
#include "win/unique_handle.h"

namespace orlent {
namespace {

constexpr uint32_t kThreads = 3, kModules = 4, kException = 6;

// A dump with a header, a directory at 32 and one 16-byte stream per type after it.
std::vector<uint8_t> MakeDump(const std::vector<uint32_t>& types) {
  std::vector<uint8_t> bytes(32 + types.size() * 12 + types.size() * 16);
  const uint32_t header[] = {0x504D444D, 0xA793, static_cast<uint32_t>(types.size()), 32};
  std::memcpy(bytes.data(), header, sizeof header);
  for (size_t i = 0; i < types.size(); ++i) {
    const uint32_t entry[] = {types[i], 16,
                              static_cast<uint32_t>(32 + types.size() * 12 + i * 16)};
    std::memcpy(bytes.data() + 32 + i * 12, entry, sizeof entry);
  }
  return bytes;
}

MinidumpCheck CheckBytes(const std::vector<uint8_t>& bytes,
                         const std::vector<uint32_t>& required = {kThreads, kModules}) {
  wchar_t directory[MAX_PATH], path[MAX_PATH];
  ::GetTempPathW(MAX_PATH, directory);
  ::GetTempFileNameW(directory, L"dmp", 0, path);
  win::UniqueFileHandle file(::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  DWORD written = 0;
  ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  return CheckMinidump(file.get(), required);
}

TEST(MinidumpCheck, ASoundDumpListsItsStreams) {
  const MinidumpCheck check = CheckBytes(MakeDump({kThreads, kModules, 0, kException}),
                                         {kThreads, kModules, kException});
  EXPECT_TRUE(check.good) << check.problem;
  EXPECT_EQ(check.streams, (std::vector<uint32_t>{kThreads, kModules, kException}));
  EXPECT_EQ(check.size, 32u + 4 * 12 + 4 * 16);
}

TEST(MinidumpCheck, TellsWhatIsWrongWithABadOne) {
  EXPECT_EQ(CheckBytes({}).problem, L"the file is shorter than a minidump header (0 bytes)");

  std::vector<uint8_t> bytes = MakeDump({kThreads, kModules});
  bytes[0] = 'X';
  EXPECT_EQ(CheckBytes(bytes).problem, L"the file does not start with MDMP");

  bytes = MakeDump({kThreads, kModules});
  bytes[8] = 0;  // no streams
  EXPECT_FALSE(CheckBytes(bytes).good);

  bytes = MakeDump({kThreads, kModules});
  bytes[12] = 0xF0;  // directory far past the end
  EXPECT_EQ(CheckBytes(bytes).problem, L"the stream directory lies outside the file");

  bytes = MakeDump({kThreads, kModules});
  bytes.resize(bytes.size() - 1);  // the last stream lost a byte: a short write
  EXPECT_EQ(CheckBytes(bytes).problem, L"stream 4 lies outside the file");

  EXPECT_EQ(CheckBytes(MakeDump({kThreads})).problem, L"stream 4 is missing");
}

}  // namespace
}  // namespace orlent
