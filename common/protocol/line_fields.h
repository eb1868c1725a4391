// The pieces both reporter command lines (/buginfo: and /standby:) are read with. Strict on
// purpose: anyone can start the reporter, with anything on its line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vessick {

// Reads one field of 1 to 8 hexadecimal digits that ends at `terminator`, which must follow
// it; moves *pos past the terminator.
bool ReadHexField(const std::wstring& text, size_t* pos, wchar_t terminator, uint32_t* value);

// Reads a decimal number without sign or leading zeros that runs to the end of `text`.
bool ReadDecimalField(const std::wstring& text, size_t pos, uint32_t* value);

// The command line's one argument: what follows the program name (quoted or bare, by the
// system's rule for argument 0) and the blanks after it. False when nothing but the program
// name is there.
bool SoleArgument(const wchar_t* commandLine, std::wstring* argument);

}  // namespace vessick
