#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vessick {

// The UTF-16 form of NUL-terminated UTF-8 text. Invalid sequences are converted the way
// MultiByteToWideChar converts them; a failed conversion, a null pointer or a buffer that cannot
// be had gives empty text.
std::wstring Utf8ToWide(const char* text);

// Bytes for a buffer of `units` UTF-16 units plus one spare unit. A size that does not fit the
// 32-bit address space comes out as SIZE_MAX, so the allocation fails instead of coming out
// short.
size_t WideBufferBytes(uint32_t units) noexcept;

}  // namespace vessick
