// Apart from the parser, as the /buginfo: formatter is: the crash library links only this.
#include "protocol/standby_line.h"

#include <cstdio>

namespace vessick {

void FormatStandbyLine(wchar_t (&line)[kStandbyLineCapacity], const StandbyArguments& arguments) {
  _snwprintf(line, kStandbyLineCapacity, L"orlent /standby:%p:%p:%p:%p:%p:%p:%lu",
             arguments.crash, arguments.quit, arguments.ready, arguments.done, arguments.process,
             reinterpret_cast<void*>(static_cast<uintptr_t>(arguments.mailboxAddress)),
             static_cast<unsigned long>(arguments.processId));
  line[kStandbyLineCapacity - 1] = L'\0';
}

}  // namespace vessick
