// Reads the bug-info block out of the crashed process.
#pragma once

#include <cstdint>

#include "process/block_validation.h"
#include "process/remote_memory.h"

namespace orlent {

// Reads the header, then as much of the whole block as its (bounded) totalSize asks for and
// the memory allows, and checks it.
BlockReading ReadBlock(const RemoteMemory& memory, uint32_t address, uint32_t expectedProcessId);

}  // namespace orlent
