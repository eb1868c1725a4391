// Building the bug-info block at initialisation, and the user number.
#pragma once

#include <cstdint>

#include "protocol/bug_info_block.h"

namespace vessick {

// Where each of the five strings starts and how large the whole block is.
struct StringLayout {
  uint32_t offsets[kBugInfoStringCount];
  uint32_t totalSize;
};

// Lays out the five strings (text1..text4, hostPath) back to back after the header. Returns
// false when the block would not fit in 32 bits.
bool LayOutStrings(const wchar_t* const (&strings)[kBugInfoStringCount], StringLayout* layout);

// Builds a new block in the process heap, looks for the reporter in `reporterDirectory` (null:
// the folder in force) and makes both current together; then turns off the system's fault
// dialog, installs every hook, sets aside the crash path's reserves and registers the
// stack-overflow handler (once per process). Parameters 1 to 4 may be null (empty text).
// All or nothing: when the heap cannot supply the block, returns false and nothing changed.
bool InitializeBugInfo(const wchar_t* text1, const wchar_t* text2, const wchar_t* text3,
                       const wchar_t* text4, uint32_t number1, uint32_t number2,
                       uint32_t number3, uint32_t firstSetting, uint32_t secondSetting,
                       uint32_t codeValue, uint32_t extraValue, uint32_t referenceCodeAddress,
                       const wchar_t* reporterDirectory);

// Reinstalls the hooks, then stores the user number in the current block, if there is one.
void SetUinFields(uint32_t uin);

}  // namespace vessick
