// UTF-8 <-> UTF-16 for the programs of this repository: the crash library takes UTF-8 from its
// host and keeps UTF-16; the reporter reads UTF-16 from a crashed process and writes UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace text {

// The UTF-16 form of NUL-terminated UTF-8 text. Invalid sequences are converted the way
// MultiByteToWideChar converts them; a failed conversion, a null pointer or a buffer that cannot
// be had gives empty text.
std::wstring Utf8ToWide(const char* utf8);

// The UTF-8 form of UTF-16 text. Lone surrogates, which a damaged block can hold, become U+FFFD.
std::string WideToUtf8(std::wstring_view wide);

// Bytes for a buffer of `units` UTF-16 units plus one spare unit. A size that does not fit the
// 32-bit address space comes out as SIZE_MAX, so the allocation fails instead of coming out
// short.
size_t WideBufferBytes(uint32_t units) noexcept;

}  // namespace text
