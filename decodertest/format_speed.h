// Short text for a transfer speed, as the progress line and the summary show it.
#pragma once

#include <cstdint>
#include <string>

// "1023B/S", "1KB/S" (whole KiB, truncated) or "1.0MB/S" (MiB with one decimal).
std::wstring FormatSpeed(std::uint64_t bytesPerSecond);
