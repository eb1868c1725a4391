#include "process/block_reader.h"

#include <algorithm>
#include <cstring>

namespace orlent {

BlockReading ReadBlock(const RemoteMemory& memory, uint32_t address,
                       uint32_t expectedProcessId) {
  std::vector<uint8_t> raw(vessick::kBugInfoHeaderSize);
  raw.resize(memory.ReadPrefix(address, raw.data(), raw.size()));
  if (raw.size() == vessick::kBugInfoHeaderSize) {
    uint32_t totalSize;
    std::memcpy(&totalSize, raw.data(), sizeof totalSize);
    const uint32_t wanted = std::clamp(totalSize, vessick::kBugInfoHeaderSize, kMaxBlockSize);
    raw.resize(wanted);
    const size_t rest = memory.ReadPrefix(address + vessick::kBugInfoHeaderSize,
                                          raw.data() + vessick::kBugInfoHeaderSize,
                                          wanted - vessick::kBugInfoHeaderSize);
    raw.resize(vessick::kBugInfoHeaderSize + rest);
  }
  return InterpretBlock(std::move(raw), expectedProcessId);
}

}  // namespace orlent
