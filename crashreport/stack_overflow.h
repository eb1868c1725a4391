#pragma once

namespace vessick {

// Sets aside, once, a 64 KiB stack for a stack overflow that happens when the system can no
// longer supply a fresh region.
void ReserveOverflowStack() noexcept;

}  // namespace vessick
