#include "format_speed.h"

#include <cwchar>

std::wstring FormatSpeed(std::uint64_t bytesPerSecond) {
  wchar_t speed[64] = {};
  if (bytesPerSecond >= 1048576) {
    std::swprintf(speed, 64, L"%.1fMB/S", static_cast<double>(bytesPerSecond) / 1048576.0);
  } else if (bytesPerSecond >= 1024) {
    std::swprintf(speed, 64, L"%I64uKB/S", bytesPerSecond / 1024);
  } else {
    std::swprintf(speed, 64, L"%I64uB/S", bytesPerSecond);
  }
  return speed;
}
