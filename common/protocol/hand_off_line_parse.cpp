#include "protocol/hand_off_line.h"

#include "protocol/line_fields.h"

namespace vessick {
namespace {

constexpr wchar_t kPrefix[] = L"/buginfo:";

}  // namespace

std::optional<HandOff> ParseHandOffArgument(const std::wstring& argument, std::wstring* error) {
  const std::wstring prefix = kPrefix;
  if (argument.compare(0, prefix.size(), prefix) != 0) {
    *error = L"the argument does not start with /buginfo:";
    return std::nullopt;
  }
  size_t pos = prefix.size();
  uint32_t event = 0, process = 0, block = 0, processId = 0;
  if (!ReadHexField(argument, &pos, L':', &event) ||
      !ReadHexField(argument, &pos, L':', &process) ||
      !ReadHexField(argument, &pos, L':', &block)) {
    *error = L"the event, process and block fields must be 1 to 8 hexadecimal digits, "
             L"each followed by ':'";
    return std::nullopt;
  }
  if (!ReadDecimalField(argument, pos, &processId)) {
    *error = L"the process id must be a decimal number without sign or leading zeros, "
             L"with nothing after it";
    return std::nullopt;
  }
  if (event == 0 || process == 0 || block == 0 || processId == 0) {
    *error = L"no field may be zero";
    return std::nullopt;
  }
  HandOff handOff;
  handOff.event = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(event));
  handOff.process = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(process));
  handOff.blockAddress = block;
  handOff.processId = processId;
  return handOff;
}

std::optional<HandOff> ParseHandOffCommandLine(const wchar_t* commandLine, std::wstring* error) {
  std::wstring argument;
  if (!SoleArgument(commandLine, &argument)) {
    *error = commandLine == nullptr
                 ? L"no command line"
                 : L"expected exactly one argument, /buginfo:EVENT:PROCESS:BLOCK:PID";
    return std::nullopt;
  }
  return ParseHandOffArgument(argument, error);
}

}  // namespace vessick
