#include "debuginfo/mapped_file.h"

#include "win/error_text.h"

namespace orlent::debuginfo {

std::optional<MappedFile> MappedFile::Open(const std::wstring& path, std::wstring* error) {
  // Delete sharing: a build may replace the file while a report is being written.
  win::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    *error = win::CallFailed(L"CreateFileW");
    return std::nullopt;
  }
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(file.get(), &size)) {
    *error = win::CallFailed(L"GetFileSizeEx");
    return std::nullopt;
  }
  if (size.QuadPart == 0 || size.QuadPart > 0x7FFFFFFF) {
    *error = size.QuadPart == 0 ? L"the file is empty" : L"the file is too large to map";
    return std::nullopt;
  }
  win::UniqueKernelHandle mapping(
      ::CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping) {
    *error = win::CallFailed(L"CreateFileMappingW");
    return std::nullopt;
  }
  MappedFile mapped;
  mapped.view_.reset(::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
  if (!mapped.view_) {
    *error = win::CallFailed(L"MapViewOfFile");
    return std::nullopt;
  }
  mapped.bytes_ = {static_cast<const uint8_t*>(mapped.view_.get()),
                   static_cast<size_t>(size.QuadPart)};
  return mapped;
}

}  // namespace orlent::debuginfo
