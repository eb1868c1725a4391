#include "protocol/standby_line.h"

#include <iterator>

#include "protocol/line_fields.h"

namespace vessick {
namespace {

constexpr wchar_t kPrefix[] = L"/standby:";

HANDLE AsHandle(uint32_t value) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

}  // namespace

bool IsStandbyCommandLine(const wchar_t* commandLine) {
  std::wstring argument;
  return SoleArgument(commandLine, &argument) && argument.rfind(kPrefix, 0) == 0;
}

std::optional<StandbyArguments> ParseStandbyCommandLine(const wchar_t* commandLine,
                                                        std::wstring* error) {
  std::wstring argument;
  if (!SoleArgument(commandLine, &argument) || argument.rfind(kPrefix, 0) != 0) {
    *error = L"expected exactly one argument, /standby:CRASH:QUIT:READY:DONE:PROCESS:MAILBOX:PID";
    return std::nullopt;
  }
  size_t pos = std::size(kPrefix) - 1;
  uint32_t fields[6] = {};
  for (uint32_t& field : fields) {
    if (!ReadHexField(argument, &pos, L':', &field)) {
      *error = L"the handle and mailbox fields must be 1 to 8 hexadecimal digits, each followed "
               L"by ':'";
      return std::nullopt;
    }
  }
  uint32_t processId = 0;
  if (!ReadDecimalField(argument, pos, &processId)) {
    *error = L"the process id must be a decimal number without sign or leading zeros, "
             L"with nothing after it";
    return std::nullopt;
  }
  for (uint32_t field : fields) {
    if (field == 0 || processId == 0) {
      *error = L"no field may be zero";
      return std::nullopt;
    }
  }
  StandbyArguments arguments;
  arguments.crash = AsHandle(fields[0]);
  arguments.quit = AsHandle(fields[1]);
  arguments.ready = AsHandle(fields[2]);
  arguments.done = AsHandle(fields[3]);
  arguments.process = AsHandle(fields[4]);
  arguments.mailboxAddress = fields[5];
  arguments.processId = processId;
  return arguments;
}

}  // namespace vessick
