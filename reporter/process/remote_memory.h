// Reads the crashed process's memory. Every read is bounded and may fail or come back short;
// nothing read from the crashed process is trusted.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

namespace orlent {

class RemoteMemory {
 public:
  explicit RemoteMemory(HANDLE process) : process_(process) {}

  HANDLE process() const { return process_; }

  // All of [address, address + size) or nothing.
  bool Read(uint32_t address, void* buffer, size_t size) const;

  // The readable prefix of [address, address + size), page by page; stops at the first page
  // that cannot be read and returns how many bytes it got.
  size_t ReadPrefix(uint32_t address, void* buffer, size_t size) const;

  template <typename T>
  bool ReadValue(uint32_t address, T* value) const {
    return Read(address, value, sizeof(T));
  }

  // Whether the page holding `address` is committed and executable (so the value could be a
  // return address into code).
  bool IsExecutable(uint32_t address) const;

 private:
  HANDLE process_;
};

}  // namespace orlent
