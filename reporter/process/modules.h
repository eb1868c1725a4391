// The modules loaded in the crashed process, and where an address falls among them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orlent {

// A module's build, as its headers in the crashed process tell it.
struct ModuleIdentity {
  bool found = false;  // the headers were read
  uint32_t timeDateStamp = 0;
  uint32_t sizeOfImage = 0;
  bool hasCodeView = false;  // a CodeView (RSDS) record in the debug directory
  uint8_t guid[16] = {};
  uint32_t age = 0;
  bool emptyPdbName = false;  // the record names no debug file (GNU ld's --build-id)
  std::wstring pdbName;       // the debug file the record names, as recorded (may be a path)
  bool callFrameInfo = false;  // carries an .eh_frame section
};

struct Module {
  std::wstring path;
  std::wstring name;  // file name part of path
  uint32_t base = 0;
  uint32_t size = 0;
  std::wstring fileVersion;  // "1.2.3.4", empty when the file has no version resource
  ModuleIdentity identity;
};

struct CodeLocation {
  const Module* module = nullptr;  // null when the address is in no module
  uint32_t offset = 0;             // from the module's base, or the address itself
};

class ModuleList {
 public:
  ModuleList() = default;
  explicit ModuleList(std::vector<Module> modules);

  const std::vector<Module>& modules() const { return modules_; }
  std::vector<Module>& mutable_modules() { return modules_; }  // bases must not change
  CodeLocation Locate(uint32_t address) const;
  const Module* Find(uint32_t address) const { return Locate(address).module; }

 private:
  std::vector<Module> modules_;  // sorted by base
};

// The modules of process `processId`, or the reason they could not be listed.
std::optional<ModuleList> ListModules(DWORD processId, std::wstring* error);

// The file version from the version resource of the file at `path` ("1.2.3.4"), or empty.
std::wstring FileVersionOf(const std::wstring& path);

// Whether thread `threadId` belongs to process `processId`.
bool ThreadBelongsTo(DWORD threadId, DWORD processId);

}  // namespace orlent
