#include "request/window_owners.h"

// The linker's symbol for the start of this module's image, which is its module handle.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace quennet {

HINSTANCE ThisModule() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

void WindowClassTraits::Close(ATOM atom) noexcept {
  ::UnregisterClassW(reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(atom)), ThisModule());
}

}  // namespace quennet
