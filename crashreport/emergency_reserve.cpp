#include "emergency_reserve.h"

#include <windows.h>

#include "crash_path_limits.h"

namespace vessick {

volatile SIZE_T emergencyReserveBytes = kDefaultEmergencyReserveBytes;

namespace {
void* volatile emergencyReserve = nullptr;
}  // namespace

bool ReserveEmergencyAddressSpace() noexcept {
  if (emergencyReserve != nullptr) return true;
  void* region = ::VirtualAlloc(nullptr, emergencyReserveBytes, MEM_RESERVE, PAGE_NOACCESS);
  if (region == nullptr) return false;
  if (::InterlockedCompareExchangePointer(&emergencyReserve, region, nullptr) != nullptr)
    ::VirtualFree(region, 0, MEM_RELEASE);
  return true;
}

void ReleaseEmergencyAddressSpace() noexcept {
  void* region = ::InterlockedExchangePointer(&emergencyReserve, nullptr);
  if (region != nullptr) ::VirtualFree(region, 0, MEM_RELEASE);
}

}  // namespace vessick
