#include "crash_handlers.h"

#include "library_state.h"

namespace vessick {

void InstallHandlers() {
  if (CurrentBlock() == nullptr) return;
}

LONG CALLBACK StackOverflowHandler(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

}  // namespace vessick
