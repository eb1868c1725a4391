// The reporter's command line: what the crashed process hands over, and its strict parser.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

namespace orlent {

// The four values of "orlent /buginfo:EVENT:PROCESS:BLOCK:PID". The two handles were inherited
// from the crashed process; the block address is an address in that process.
struct HandOff {
  HANDLE event = nullptr;
  HANDLE process = nullptr;
  uint32_t blockAddress = 0;
  uint32_t processId = 0;
};

// Parses the single argument "/buginfo:H:H:H:D": each H is 1 to 8 hexadecimal digits, D is a
// decimal process id without sign or leading zeros; nothing may follow. No value may be zero.
// On failure returns nothing and puts the reason in *error.
std::optional<HandOff> ParseHandOffArgument(const std::wstring& argument, std::wstring* error);

// The whole command line as the system gives it: the program name (quoted or bare), blanks,
// then exactly the one argument above.
std::optional<HandOff> ParseHandOffCommandLine(const wchar_t* commandLine, std::wstring* error);

}  // namespace orlent
