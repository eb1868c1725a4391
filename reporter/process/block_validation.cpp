#include "process/block_validation.h"
#include "text/hex.h"

#include <algorithm>
#include <cstring>

namespace orlent {
namespace {

using vessick::BugInfoBlock;
using vessick::kBugInfoHeaderSize;
using vessick::kBugInfoStringCount;

const wchar_t* const kStringNames[kBugInfoStringCount] = {L"text1", L"text2", L"text3",
                                                          L"text4", L"hostPath"};

// Reads one UTF-16 string from [offset, end) of `raw`, wherever it starts (an odd offset is
// a fault of the block but still readable).
BlockText ReadString(const std::vector<uint8_t>& raw, uint32_t offset, uint32_t end) {
  BlockText result;
  if (offset < kBugInfoHeaderSize || offset >= raw.size() || offset >= end) return result;
  result.found = true;
  end = std::min<uint32_t>(end, static_cast<uint32_t>(raw.size()));
  for (uint32_t at = offset; at + 2 <= end; at += 2) {
    wchar_t unit;
    std::memcpy(&unit, raw.data() + at, 2);
    if (unit == L'\0') {
      result.complete = true;
      return result;
    }
    result.text.push_back(unit);
  }
  return result;
}

void CheckStrings(BlockReading* reading, uint32_t stringAreaEnd) {
  const BugInfoBlock& h = reading->header;
  uint32_t expectedOffset = kBugInfoHeaderSize;
  bool inOrder = true;
  for (int i = 0; i < kBugInfoStringCount; ++i) {
    const uint32_t offset = h.stringOffsets[i];
    const uint32_t end = i + 1 < kBugInfoStringCount && h.stringOffsets[i + 1] > offset
                             ? std::min(h.stringOffsets[i + 1], stringAreaEnd)
                             : stringAreaEnd;
    if (offset < kBugInfoHeaderSize || offset >= stringAreaEnd) {
      reading->problems.push_back(std::wstring(L"the offset of ") + kStringNames[i] + L" (" +
                                  std::to_wstring(offset) + L") is outside the string area");
      inOrder = false;
      continue;
    }
    if (i > 0 && offset <= h.stringOffsets[i - 1]) inOrder = false;
    BlockText text = ReadString(reading->raw, offset, end);
    if (!text.complete)
      reading->problems.push_back(std::wstring(kStringNames[i]) +
                                  L" is not terminated inside the block");
    if (inOrder && offset != expectedOffset) inOrder = false;
    expectedOffset = offset + static_cast<uint32_t>((text.text.size() + 1) * 2);
    reading->strings[i] = std::move(text);
  }
  if (!inOrder)
    reading->problems.push_back(L"the strings are not laid out in order, back to back");
  else if (expectedOffset != stringAreaEnd)
    reading->problems.push_back(L"the strings do not end where the block ends");
  const BlockText& hostPath = reading->strings[kBugInfoStringCount - 1];
  if (hostPath.complete && hostPath.text.size() >= vessick::kHostPathCapacity)
    reading->problems.push_back(L"hostPath is longer than a path can be");
}

}  // namespace

BlockReading InterpretBlock(std::vector<uint8_t> raw, uint32_t expectedProcessId) {
  BlockReading reading;
  reading.raw = std::move(raw);
  const size_t got = reading.raw.size();
  std::memcpy(&reading.header, reading.raw.data(), std::min<size_t>(got, sizeof(BugInfoBlock)));
  reading.headerComplete = got >= sizeof(BugInfoBlock);
  if (got == 0) {
    reading.problems.push_back(L"the block cannot be read at all");
    return reading;
  }
  if (!reading.headerComplete) {
    reading.problems.push_back(L"only " + std::to_wstring(got) + L" of the block's " +
                               std::to_wstring(kBugInfoHeaderSize) +
                               L" header bytes can be read");
  }
  const BugInfoBlock& h = reading.header;
  if (got >= sizeof h.totalSize && (h.totalSize < kMinBlockSize || h.totalSize > kMaxBlockSize))
    reading.problems.push_back(L"totalSize " + std::to_wstring(h.totalSize) +
                               L" is outside the possible range " +
                               std::to_wstring(kMinBlockSize) + L".." +
                               std::to_wstring(kMaxBlockSize));
  else if (reading.headerComplete && got < h.totalSize)
    reading.problems.push_back(L"only " + std::to_wstring(got) + L" of the block's " +
                               std::to_wstring(h.totalSize) + L" bytes can be read");
  if (got >= offsetof(BugInfoBlock, processId) + 4 && h.processId != expectedProcessId)
    reading.problems.push_back(L"the block belongs to process " + std::to_wstring(h.processId) +
                               L", not to process " + std::to_wstring(expectedProcessId));
  if (!reading.headerComplete) return reading;

  const uint32_t stringAreaEnd =
      std::min<uint32_t>(std::clamp(h.totalSize, kMinBlockSize, kMaxBlockSize),
                         static_cast<uint32_t>(got));
  CheckStrings(&reading, stringAreaEnd);

  if (h.reserved != 0 || h.unused[0] != 0 || h.unused[1] != 0)
    reading.problems.push_back(L"fields that are always zero are not");
  if (h.crashThreadId == 0 || h.exceptionPointers == 0)
    reading.problems.push_back(L"the block records no fault (crashThreadId " +
                               std::to_wstring(h.crashThreadId) + L", exceptionPointers " +
                               text::Hex32W(h.exceptionPointers) + L")");
  else if ((h.context.ContextFlags & CONTEXT_i386) == 0)
    reading.problems.push_back(L"the recorded context is not an x86 context (ContextFlags " +
                               text::Hex32W(h.context.ContextFlags) + L")");
  return reading;
}

}  // namespace orlent
