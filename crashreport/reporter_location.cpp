#include "reporter_location.h"

#include <cstring>

#include "protocol/hand_off_line.h"

namespace vessick {

void FindReporter(const wchar_t* directory, wchar_t (&path)[kReporterPathCapacity]) noexcept {
  std::memset(path, 0, sizeof path);
  const DWORD length = ::SearchPathW(directory[0] != L'\0' ? directory : nullptr,
                                     kReporterFileName, nullptr, kReporterPathCapacity, path,
                                     nullptr);
  if (length == 0 || length >= static_cast<DWORD>(kReporterPathCapacity)) path[0] = L'\0';
}

}  // namespace vessick
