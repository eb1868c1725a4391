// The reporter's command line, the one thing besides the block that crosses from the crashed
// host to orlent.exe: "orlent /buginfo:EVENT:PROCESS:BLOCK:PID". The host writes it without heap
// on its crash path; the reporter parses it strictly, since anyone can start the reporter.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vessick {

// The reporter's file name, looked for in the folder the host names (or the search order).
inline constexpr wchar_t kReporterFileName[] = L"orlent.exe";

// The four values of the line. The two handles were inherited from the crashed process; the
// block address is an address in that process.
struct HandOff {
  HANDLE event = nullptr;
  HANDLE process = nullptr;
  uint32_t blockAddress = 0;
  uint32_t processId = 0;
};

// Writes the line: the three handles and the address as eight upper-case hex digits, the id in
// decimal. Takes no heap and no lock.
constexpr size_t kHandOffLineCapacity = 64;
void FormatHandOffLine(wchar_t (&line)[kHandOffLineCapacity], HANDLE event, HANDLE process,
                       const void* block, DWORD processId);

// Parses the single argument "/buginfo:H:H:H:D": each H is 1 to 8 hexadecimal digits, D is a
// decimal process id without sign or leading zeros; nothing may follow. No value may be zero.
// On failure returns nothing and puts the reason in *error.
std::optional<HandOff> ParseHandOffArgument(const std::wstring& argument, std::wstring* error);

// The whole command line as the system gives it: the program name (quoted or bare), blanks,
// then exactly the one argument above.
std::optional<HandOff> ParseHandOffCommandLine(const wchar_t* commandLine, std::wstring* error);

}  // namespace vessick
