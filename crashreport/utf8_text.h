// UTF-8 to UTF-16 by the library itself. The system's converter cannot be trusted with damaged
// text: Wine's MultiByteToWideChar, given text that ends inside a multi-byte character, takes
// the terminator into the broken sequence and goes on converting whatever follows it.
#pragma once

#include <cstddef>

namespace vessick {

// Units Utf8ToUtf16 needs for `utf8`, the terminator included: at most one per byte.
size_t Utf16CapacityFor(const char* utf8) noexcept;

// Converts NUL-terminated UTF-8 into `out` (`capacity` units) and terminates it. Every
// ill-formed or cut sequence becomes one U+FFFD per maximal subpart (as the Unicode standard
// recommends); overlong forms, surrogates and values past U+10FFFF are ill-formed. Stops
// short, still terminated, when `out` is too small. Returns the units written before the
// terminator. Takes no heap.
size_t Utf8ToUtf16(const char* utf8, wchar_t* out, size_t capacity) noexcept;

}  // namespace vessick
