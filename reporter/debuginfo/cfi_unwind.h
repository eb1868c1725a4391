// One step of unwinding by call frame information: the rules in force at an instruction
// (the CFA and where each saved register is) and the caller's registers they give, read from
// the crashed thread's stack.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "debuginfo/cfi_table.h"

namespace orlent::debuginfo {

// i386 DWARF register numbers as GCC writes them for mingw: eax ecx edx ebx esp ebp esi edi,
// then eip (the return address column).
enum Register : uint32_t { kEax, kEcx, kEdx, kEbx, kEsp, kEbp, kEsi, kEdi, kEip, kRegisterCount };

struct Registers {
  std::array<uint32_t, kRegisterCount> value = {};
  std::array<bool, kRegisterCount> known = {};  // a callee may leave a register unknowable

  void Set(Register r, uint32_t v) {
    value[r] = v;
    known[r] = true;
  }
};

// Reads a 32-bit word of the crashed process (its stack, mostly); false when unreadable.
using WordReader = std::function<bool(uint32_t address, uint32_t* value)>;

// The caller's registers at the return from the frame `description` covers, where the frame
// is at `pc` (for a caller frame, look up the call: the return address minus one). False,
// with the reason in `why`, when the rules cannot be applied.
bool UnwindByCfi(const CfiTable& table, const CfiDescription& description, uint32_t pc,
                 const Registers& callee, const WordReader& read, Registers* caller,
                 std::string* why);

}  // namespace orlent::debuginfo
