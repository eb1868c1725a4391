// The call frame information of one module (.eh_frame as GCC writes it into every mingw
// module, or .debug_frame), indexed by code address: the records that say, for any
// instruction, where the caller's registers and return address are. Parsed from the module's
// file, so it holds for a stripped build as well and needs no debugger library.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "debuginfo/byte_cursor.h"

namespace orlent::debuginfo {

// A common information entry: what every frame description that refers to it starts from.
struct CfiCommon {
  uint64_t codeAlignment = 1;
  int64_t dataAlignment = 1;
  uint32_t returnAddressRegister = 8;
  uint8_t pointerEncoding = 0;  // of the descriptions' addresses (.eh_frame's "R")
  bool augmented = false;       // "z": descriptions carry augmentation data
  bool signalFrame = false;     // "S": the frame was interrupted, its pc is not after a call
  ByteSpan initialInstructions;
};

// A frame description entry: the rules for the code in [begin, end).
struct CfiDescription {
  uint32_t begin = 0;
  uint32_t end = 0;
  uint32_t common = 0;  // index into CfiTable::commons()
  ByteSpan instructions;
};

class CfiTable {
 public:
  // Where a section's bytes would lie in the crashed process: the module's loaded base plus
  // the section's RVA. Addresses of the table are made relative to `loadedBase` of the module
  // as loaded, so that a rebased module (a DLL not at its preferred base) is looked up right.
  struct Placement {
    uint32_t sectionAddress = 0;  // where the section is in the process
    uint32_t preferredBase = 0;   // the image base the file was linked for
    uint32_t loadedBase = 0;      // where the process has it
  };

  // .eh_frame (`ehFrame` true) or .debug_frame; a record that does not parse ends the table
  // with what came before it and is said in `problem`.
  static CfiTable Parse(ByteSpan section, bool ehFrame, const Placement& placement);

  // The description covering `address` (an address in the crashed process), or null.
  const CfiDescription* Find(uint32_t address) const;
  const CfiCommon& common(const CfiDescription& description) const {
    return commons_[description.common];
  }
  size_t size() const { return descriptions_.size(); }
  const std::string& problem() const { return problem_; }

 private:
  std::vector<CfiCommon> commons_;
  std::vector<CfiDescription> descriptions_;  // sorted by begin, not overlapping
  std::string problem_;
};

}  // namespace orlent::debuginfo
