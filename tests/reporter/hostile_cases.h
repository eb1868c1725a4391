// Hostile hand-offs for orlent.exe, generated from a fixed seed: malformed command lines,
// handles and ids that do not fit, and blocks that are damaged, cut short or unreadable.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace handoff {

// What the reporter must do with a case.
enum class Expect {
  kRefused,     // exit 1 and the event untouched: the line is malformed
  kNoEvent,     // exit 2 and our event untouched: the event handle is not usable
  kReleased,    // exit 2 and the event set: the handles or the id do not fit
  kIncomplete,  // exit 3 and the event set: a report marked incomplete
  kReport,      // exit 0 or 3 and the event set: the change may or may not break a check
  kComplete,    // exit 0 and the event set
  kWellFormed,  // a random line the reference grammar accepts: exit 2, or a report
};

enum class BlockAddress { kPlaced, kUnmapped, kNoAccess, kTopOfMemory, kFirstPage };

struct HandOffValues {
  HANDLE event;
  HANDLE process;
  uint32_t block;
  DWORD processId;
};

struct HostileCase {
  std::string name;
  std::vector<uint8_t> block;  // placed in front of an inaccessible page
  uint32_t shortBy = 0;        // bytes of the block that fall into that page
  BlockAddress address = BlockAddress::kPlaced;
  std::function<std::wstring(const HandOffValues&)> line;
  Expect expect = Expect::kComplete;
};

// `count` cases (at least the fixed ones), the same for the same seed.
std::vector<HostileCase> MakeHostileCases(uint32_t seed, size_t count);

// An independent statement of the line's grammar, to judge random lines by.
bool LineIsWellFormed(const std::wstring& line);

}  // namespace handoff
