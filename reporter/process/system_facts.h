// The machine and the process around a crash: system version, processor, memory, uptime.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace orlent {

struct SystemFacts {
  std::wstring windowsVersion;  // "10.0"
  uint32_t windowsBuild = 0;
  std::wstring servicePack;     // "Service Pack 1", or empty
  std::wstring wineVersion;     // empty on Windows
  std::wstring processor;       // the processor's name, where the system keeps one
  uint32_t processorCount = 0;
  uint64_t physicalTotal = 0;   // bytes
  uint64_t physicalAvailable = 0;
  uint32_t memoryLoad = 0;      // percent in use
  uint64_t processPrivateBytes = 0;  // the crashed process's commit charge
  uint64_t processWorkingSet = 0;
  int64_t processUptimeMs = -1;      // since the crashed process started; -1 when unknown
};

SystemFacts ReadSystemFacts(HANDLE process);

}  // namespace orlent
