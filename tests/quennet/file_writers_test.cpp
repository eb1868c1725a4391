// The extract folder's writer threads: files handed over land byte-exact under their final
// names whatever the number of writers and however small the queue, a name handed over twice
// ends with its last content, failures come back with their entry's name and stop what
// follows, and nothing temporary is ever left.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "file_writers.h"
#include "output_tree.h"
#include "quennet.h"

namespace quennet {
namespace {

// A fresh folder under the temporary folder, removed with everything in it afterwards.
class ScratchFolder {
 public:
  ScratchFolder() {
    wchar_t base[MAX_PATH];
    ::GetTempPathW(MAX_PATH, base);
    path_ = std::wstring(base) + L"qwriters-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(++counter_);
    ::CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~ScratchFolder() { RemoveTree(path_); }
  const std::wstring& path() const { return path_; }

  // Relative path -> content of every file below, folders left out.
  std::map<std::wstring, std::string> Files() const {
    std::map<std::wstring, std::string> found;
    Collect(path_, L"", &found);
    return found;
  }

 private:
  static void Collect(const std::wstring& folder, const std::wstring& prefix,
                      std::map<std::wstring, std::string>* found) {
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring full = folder + L"\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        Collect(full, prefix + name + L"/", found);
      } else {
        (*found)[prefix + name] = ReadAll(full);
      }
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
  }
  static std::string ReadAll(const std::wstring& path) {
    std::string content;
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<unreadable>";
    char piece[65536];
    DWORD got = 0;
    while (::ReadFile(file, piece, sizeof piece, &got, nullptr) && got > 0) content.append(piece, got);
    ::CloseHandle(file);
    return content;
  }
  static void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring full = folder + L"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(full);
        else ::DeleteFileW(full.c_str());
      } while (::FindNextFileW(find, &data));
      ::FindClose(find);
    }
    ::RemoveDirectoryW(folder.c_str());
  }

  std::wstring path_;
  static inline int counter_ = 0;
};

// Deterministic content that differs at every offset from one file to the next.
std::string Content(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (char& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

Outcome WriteThrough(OutputTree& tree, const EntryParts& parts, const std::string& content) {
  const std::wstring name = parts.back();
  Outcome begun = tree.BeginFile(parts, name);
  if (!begun.ok()) return begun;
  // In uneven pieces, so that some end exactly on the write piece and some across it.
  std::size_t at = 0, step = 7777;
  while (at < content.size()) {
    const std::size_t take = std::min(step, content.size() - at);
    Outcome appended = tree.Append(reinterpret_cast<const std::uint8_t*>(content.data()) + at, take);
    if (!appended.ok()) return appended;
    at += take;
    step = step * 3 % 300007 + 1;
  }
  return tree.CommitFile();
}

struct Shape {
  const char* label;
  OutputTree::Limits limits;
};

const Shape kShapes[] = {
    {"on the caller", {0, 8u << 20, 512}},
    {"one writer", {1, 8u << 20, 512}},
    {"three writers", {3, 8u << 20, 512}},
    {"queue of one file", {2, 1, 1}},
};

TEST(OutputTreeWriters, FilesOfEverySizeLandByteExactWithNothingTemporaryLeft) {
  const std::size_t sizes[] = {0, 1, 4096, 65535, OutputTree::kWritePiece - 1, OutputTree::kWritePiece,
                               OutputTree::kWritePiece + 1, 3 * OutputTree::kWritePiece + 17};
  for (const Shape& shape : kShapes) {
    SCOPED_TRACE(shape.label);
    ScratchFolder scratch;
    std::map<std::wstring, std::string> expected;
    {
      OutputTree tree(scratch.path() + L"\\out", shape.limits);
      std::uint32_t seed = 0;
      for (int round = 0; round < 12; ++round) {
        for (std::size_t size : sizes) {
          const std::wstring folder = L"folder" + std::to_wstring(seed % 5);
          const std::wstring name = L"f" + std::to_wstring(seed) + L".bin";
          const std::string content = Content(size, seed);
          ASSERT_TRUE(WriteThrough(tree, {folder, L"deeper", name}, content).ok());
          expected[L"out/" + folder + L"/deeper/" + name] = content;
          ++seed;
        }
      }
      const Outcome finished = tree.Finish();
      ASSERT_TRUE(finished.ok()) << std::string(finished.text.begin(), finished.text.end());
    }
    const auto found = scratch.Files();
    ASSERT_EQ(found.size(), expected.size());
    for (const auto& [name, content] : expected) {
      auto it = found.find(name);
      ASSERT_NE(it, found.end());
      EXPECT_TRUE(it->second == content) << std::string(name.begin(), name.end());
    }
  }
}

TEST(OutputTreeWriters, ANameCommittedAgainAndAgainEndsWithItsLastContent) {
  // Small and large commits of one name (and of its other case) alternate: the large ones are
  // written here and only renamed by a writer, the small ones wholly by a writer; the order of
  // the commits must still be the order they land in.
  for (const Shape& shape : kShapes) {
    SCOPED_TRACE(shape.label);
    ScratchFolder scratch;
    std::string last;
    {
      OutputTree tree(scratch.path(), shape.limits);
      for (std::uint32_t i = 0; i < 40; ++i) {
        last = Content(i % 3 == 0 ? OutputTree::kWritePiece + 100 * i : 10 + i, 1000 + i);
        ASSERT_TRUE(WriteThrough(tree, {L"same", i % 2 ? L"Name.dat" : L"NAME.DAT"}, last).ok());
      }
      // Without Finish: the destructor waits for the writers too.
    }
    const auto found = scratch.Files();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(found.begin()->second == last);
  }
}

TEST(OutputTreeWriters, DiscardWaitsForCommittedFilesAndDropsTheOpenOne) {
  for (const Shape& shape : kShapes) {
    SCOPED_TRACE(shape.label);
    ScratchFolder scratch;
    OutputTree tree(scratch.path(), shape.limits);
    for (std::uint32_t i = 0; i < 30; ++i)
      ASSERT_TRUE(WriteThrough(tree, {L"kept" + std::to_wstring(i)}, Content(5000, i)).ok());
    for (const std::size_t size : {std::size_t{100}, 2 * OutputTree::kWritePiece}) {
      ASSERT_TRUE(tree.BeginFile({L"open.bin"}, L"open.bin").ok());
      const std::string partial = Content(size, 77);
      ASSERT_TRUE(tree.Append(reinterpret_cast<const std::uint8_t*>(partial.data()), size).ok());
      tree.DiscardFile();
      // Right after the discard, not eventually: a cancelled task's files are all there.
      const auto found = scratch.Files();
      EXPECT_EQ(found.size(), 30u);
      EXPECT_EQ(found.count(L"open.bin"), 0u);
    }
  }
}

TEST(OutputTreeWriters, AWritersFailureNamesItsEntryAndStopsWhatFollows) {
  for (const Shape& shape : kShapes) {
    for (const std::size_t size : {std::size_t{300}, OutputTree::kWritePiece + 5}) {
      SCOPED_TRACE(std::string(shape.label) + (size > 300 ? ", large" : ", small"));
      ScratchFolder scratch;
      // The final name is taken by a folder: only the rename, on a writer, can find out.
      ::CreateDirectoryW((scratch.path() + L"\\blocked.bin").c_str(), nullptr);
      OutputTree tree(scratch.path(), shape.limits);
      ASSERT_TRUE(WriteThrough(tree, {L"before.txt"}, Content(100, 1)).ok());
      Outcome outcome = WriteThrough(tree, {L"blocked.bin"}, Content(size, 2));
      // It comes back from a later call at the latest, and from every call after that.
      for (std::uint32_t i = 0; outcome.ok() && i < 200; ++i)
        outcome = WriteThrough(tree, {L"after" + std::to_wstring(i)}, Content(100, 3 + i));
      if (outcome.ok()) outcome = tree.Finish();
      EXPECT_EQ(outcome.code, QUENNET_E_WRITE_FAILED);
      EXPECT_NE(outcome.text.find(L"blocked.bin"), std::wstring::npos);
      EXPECT_EQ(tree.Finish().code, QUENNET_E_WRITE_FAILED);
      EXPECT_EQ(WriteThrough(tree, {L"late.txt"}, "late").code, QUENNET_E_WRITE_FAILED);
      tree.DiscardFile();
      const auto found = scratch.Files();
      EXPECT_EQ(found.count(L"before.txt"), 1u);
      EXPECT_EQ(found.count(L"late.txt"), 0u);
      for (const auto& [name, content] : found)
        EXPECT_EQ(name.find(L".quennet-"), std::wstring::npos) << std::string(name.begin(), name.end());
    }
  }
}

TEST(FileWriters, SubmittedBytesOfAMissingFolderFailWithTheEntrysName) {
  ScratchFolder scratch;
  FileWriters writers(2, 1 << 20, 16);
  FinishedFile file;
  file.folder = scratch.path() + L"\\no such folder";
  file.finalPath = file.folder + L"\\x.bin";
  file.entryName = L"no such folder/x.bin";
  file.bytes.assign(10, 1);
  EXPECT_TRUE(writers.Submit(std::move(file)).ok());  // handed over: the writer finds out
  const Outcome drained = writers.Drain();
  EXPECT_EQ(drained.code, QUENNET_E_WRITE_FAILED);
  EXPECT_NE(drained.text.find(L"no such folder/x.bin"), std::wstring::npos);
  EXPECT_EQ(writers.Placed(), 0u);
  EXPECT_TRUE(scratch.Files().empty());
}

}  // namespace
}  // namespace quennet
