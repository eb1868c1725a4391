// The one way this repository writes a 32-bit value for people: "0x" and eight upper-case
// hexadecimal digits, as debuggers show addresses and codes.
#pragma once

#include <cstdint>
#include <string>

namespace text {

std::string Hex32(uint32_t value);    // "0x0040156A"
std::wstring Hex32W(uint32_t value);  // the same, wide

}  // namespace text
