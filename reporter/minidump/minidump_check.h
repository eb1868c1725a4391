// Checks a minidump file after it was written: dbghelp under Wine reports success even when
// writing failed, so a dump is called good only when its structure says so.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orlent {

struct MinidumpCheck {
  bool good = false;
  std::wstring problem;            // why it is not good
  uint64_t size = 0;               // bytes in the file
  std::vector<uint32_t> streams;   // stream types in directory order
};

// The file must start with "MDMP", hold a stream directory and streams that lie inside the
// file, and have every stream type in `required`.
MinidumpCheck CheckMinidump(HANDLE file, const std::vector<uint32_t>& required);

}  // namespace orlent
