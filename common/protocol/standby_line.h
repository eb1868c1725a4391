// The standby hand-off: orlent.exe started at InitOrlent, before any fault, waits in the
// background so that a crashed host only has to fill in its block, set an event and wait. The
// host's crash path then needs no heap, no lock and no process creation.
//
//   orlent /standby:CRASH:QUIT:READY:DONE:PROCESS:MAILBOX:PID
//
// CRASH, QUIT, READY and DONE are inherited manual-reset events, PROCESS an inherited handle to
// the host with full access, MAILBOX the address of a StandbyMailbox in the host, PID the host's
// process id. Handles and the address are eight upper-case hex digits, the id decimal.
//
//   standby                                host
//   checks its handles, sets READY  ->    (InitOrlent returns without waiting)
//   waits for CRASH, QUIT or PROCESS       ...
//                                   <-    fault: fills the block and the mailbox, sets CRASH,
//                                         waits for READY (short bound), then DONE or the
//                                         standby's end
//   reads the mailbox, takes the host's
//   standard handles, then runs the very
//   /buginfo:DONE:PROCESS:BLOCK:PID report
//   and sets DONE                   ->    ends with the crash exit code
//
// QUIT (the host unloads Vessick) and the end of PROCESS (the host ended without a fault) end
// the standby without a report. A reporter that does not know /standby: rejects the line and
// exits at once; the host, seeing the standby's process end or READY not set in time, starts
// a reporter with the /buginfo: line (hand_off_line.h) as it did before standbys existed.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vessick {

// What the host writes at the crash, before it sets CRASH; read by the standby through
// ReadProcessMemory. Fixed layout: 32-bit fields, little-endian.
struct StandbyMailbox {
  uint32_t blockAddress;  // the bug-info block of the fault
  uint32_t stdInput;      // the host's standard handles at the fault (0: none), so that the
  uint32_t stdOutput;     // reporter's lines go where a reporter started at the fault would
  uint32_t stdError;      // write them
};
static_assert(sizeof(StandbyMailbox) == 16);

struct StandbyArguments {
  HANDLE crash = nullptr;
  HANDLE quit = nullptr;
  HANDLE ready = nullptr;
  HANDLE done = nullptr;
  HANDLE process = nullptr;
  uint32_t mailboxAddress = 0;
  uint32_t processId = 0;
};

// "orlent /standby:" and seven fields: well under this.
constexpr size_t kStandbyLineCapacity = 96;

// Writes the line. Takes no heap.
void FormatStandbyLine(wchar_t (&line)[kStandbyLineCapacity], const StandbyArguments& arguments);

// Whether the command line's one argument starts with /standby: (then it is this protocol's,
// well formed or not).
bool IsStandbyCommandLine(const wchar_t* commandLine);

// Parses the whole command line: the program name, blanks, then exactly "/standby:" with six
// hexadecimal fields of 1 to 8 digits and a decimal id without leading zeros. No field may be
// zero. On failure returns nothing and puts the reason in *error.
std::optional<StandbyArguments> ParseStandbyCommandLine(const wchar_t* commandLine,
                                                        std::wstring* error);

}  // namespace vessick
