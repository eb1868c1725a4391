// What the reporter makes of the bug-info block it read from the crashed process. The block
// comes from a process that has just crashed, so every field is checked before it is used, and
// a block that fails the checks still yields whatever could be read, with the reasons.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/bug_info_block.h"

namespace orlent {

// No block is larger than this: five strings of a few thousand characters at the very most.
constexpr uint32_t kMaxBlockSize = 1024 * 1024;
constexpr uint32_t kMinBlockSize = vessick::kBugInfoHeaderSize + vessick::kBugInfoStringCount * 2;

enum class BlockString { kText1, kText2, kText3, kText4, kHostPath };

struct BlockText {
  std::wstring text;     // as much as could be read
  bool found = false;    // the offset pointed inside the bytes read
  bool complete = false; // and the text ended with its terminator before the next string
};

struct BlockReading {
  std::vector<uint8_t> raw;      // the bytes read, exactly as read
  bool headerComplete = false;   // all 1528 header bytes were read
  vessick::BugInfoBlock header = {};  // zero wherever nothing could be read
  std::array<BlockText, vessick::kBugInfoStringCount> strings;  // text1..text4, hostPath
  std::vector<std::wstring> problems;  // empty when the block passed every check

  bool valid() const { return problems.empty(); }
  const BlockText& string(BlockString which) const {
    return strings[static_cast<size_t>(which)];
  }
  // The fault fields that the crashed process fills in before it starts the reporter.
  bool faultRecorded() const {
    return headerComplete && header.crashThreadId != 0 && header.exceptionPointers != 0;
  }
};

// Checks `raw` (the block's bytes from its address on, as many as could be read up to its
// totalSize) against the layout and against the process id from the command line.
BlockReading InterpretBlock(std::vector<uint8_t> raw, uint32_t expectedProcessId);

}  // namespace orlent
