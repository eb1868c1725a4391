// A module or debug file mapped read-only into the reporter, so that parsers see its bytes
// without copying sections that can run to tens of megabytes.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "debuginfo/byte_cursor.h"
#include "win/unique_handle.h"

namespace orlent::debuginfo {

struct MappedViewTraits {
  using Handle = const void*;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle view) noexcept { ::UnmapViewOfFile(view); }
};
using UniqueMappedView = win::UniqueHandle<MappedViewTraits>;

class MappedFile {
 public:
  // The whole file, or nothing (`error` says why). An empty file maps to nothing as well.
  static std::optional<MappedFile> Open(const std::wstring& path, std::wstring* error);

  ByteSpan bytes() const { return bytes_; }

 private:
  UniqueMappedView view_;
  ByteSpan bytes_;
};

}  // namespace orlent::debuginfo
