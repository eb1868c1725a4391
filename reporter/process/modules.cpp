#include "process/modules.h"

#include <tlhelp32.h>

#include <algorithm>

#include "win/error_text.h"
#include "win/unique_handle.h"

namespace orlent {

ModuleList::ModuleList(std::vector<Module> modules) : modules_(std::move(modules)) {
  std::sort(modules_.begin(), modules_.end(),
            [](const Module& a, const Module& b) { return a.base < b.base; });
}

CodeLocation ModuleList::Locate(uint32_t address) const {
  auto after = std::upper_bound(modules_.begin(), modules_.end(), address,
                                [](uint32_t a, const Module& m) { return a < m.base; });
  if (after != modules_.begin()) {
    const Module& candidate = *(after - 1);
    if (address - candidate.base < candidate.size) return {&candidate, address - candidate.base};
  }
  return {nullptr, address};
}

std::optional<ModuleList> ListModules(DWORD processId, std::wstring* error) {
  // A snapshot can fail with ERROR_BAD_LENGTH while the process is loading a module; retry.
  win::UniqueFileHandle snapshot;
  for (int attempt = 0; attempt < 5 && !snapshot; ++attempt)
    snapshot.reset(::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId));
  if (!snapshot) {
    *error = win::CallFailed(L"CreateToolhelp32Snapshot");
    return std::nullopt;
  }
  std::vector<Module> modules;
  MODULEENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Module32FirstW(snapshot.get(), &entry); more;
       more = ::Module32NextW(snapshot.get(), &entry)) {
    Module module;
    entry.szExePath[MAX_PATH - 1] = L'\0';
    entry.szModule[MAX_MODULE_NAME32] = L'\0';
    module.path = entry.szExePath;
    module.name = entry.szModule;
    module.base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(entry.modBaseAddr));
    module.size = entry.modBaseSize;
    module.fileVersion = FileVersionOf(module.path);
    modules.push_back(std::move(module));
  }
  if (modules.empty()) {
    *error = win::CallFailed(L"Module32FirstW");
    return std::nullopt;
  }
  return ModuleList(std::move(modules));
}

std::wstring FileVersionOf(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<uint8_t> data(size);
  if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return {};
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) ||
      info == nullptr || length < sizeof *info || info->dwSignature != 0xFEEF04BD)
    return {};
  return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." +
         std::to_wstring(LOWORD(info->dwFileVersionMS)) + L"." +
         std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." +
         std::to_wstring(LOWORD(info->dwFileVersionLS));
}

bool ThreadBelongsTo(DWORD threadId, DWORD processId) {
  win::UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return false;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Thread32First(snapshot.get(), &entry); more;
       more = ::Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32ThreadID == threadId) return entry.th32OwnerProcessID == processId;
  }
  return false;
}

}  // namespace orlent
