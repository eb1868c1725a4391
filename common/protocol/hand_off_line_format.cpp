// Kept apart from the parser so that the crash library links only this: it runs on the crash
// path, with no heap.
#include "protocol/hand_off_line.h"

#include <cstdio>

namespace vessick {

void FormatHandOffLine(wchar_t (&line)[kHandOffLineCapacity], HANDLE event, HANDLE process,
                       const void* block, DWORD processId) {
  _snwprintf(line, kHandOffLineCapacity, L"orlent /buginfo:%p:%p:%p:%lu", event, process, block,
             static_cast<unsigned long>(processId));
  line[kHandOffLineCapacity - 1] = L'\0';
}

}  // namespace vessick
