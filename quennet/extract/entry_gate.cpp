#include "entry_gate.h"

#include <windows.h>

#include "quennet.h"

namespace quennet {
namespace {

Outcome Collides(const std::wstring& entryName, const std::wstring& earlier, const wchar_t* why) {
  return Outcome::Fail(QUENNET_E_REFUSED_ENTRY, L"拒绝解压条目“" + entryName + L"”：" + why +
                                                    L"“" + earlier +
                                                    L"”（Windows 的文件名不区分大小写），"
                                                    L"解压会覆盖或丢失其中一个的内容");
}

}  // namespace

bool WindowsNameLess::operator()(const std::wstring& a, const std::wstring& b) const {
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
}

Outcome EntryNameClaims::Claim(const EntryParts& parts, bool folder,
                               const std::wstring& entryName) {
  std::vector<std::wstring> paths;  // each folder above the entry, then the entry itself
  std::wstring path;
  for (const std::wstring& part : parts) {
    path += (path.empty() ? L"" : L"\\") + part;
    paths.push_back(path);
  }
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const auto found = claimed_.find(paths[i]);
    if (found == claimed_.end()) continue;
    const bool last = i + 1 == paths.size();
    const Claimed& earlier = found->second;
    if (!earlier.folder && !last)
      return Collides(entryName, earlier.entryName, L"它所在的文件夹与文件同名：");
    if (!last) continue;
    if (!earlier.folder) return Collides(entryName, earlier.entryName, L"与之前的文件同名：");
    if (!folder) return Collides(entryName, earlier.entryName, L"与之前的文件夹同名：");
  }
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const bool isFolder = i + 1 < paths.size() || folder;
    claimed_.emplace(paths[i], Claimed{isFolder, entryName});
  }
  return Outcome::Ok();
}

Outcome CheckRoomForEntry(OutputTree& out, std::uint64_t declaredSize,
                          const std::wstring& entryName) {
  if (declaredSize == 0) return Outcome::Ok();
  Outcome room = out.CheckFreeSpace(declaredSize);
  if (room.ok() || room.code != QUENNET_E_DISK_FULL) return room;
  return Outcome::Fail(QUENNET_E_DISK_FULL, L"无法解压条目“" + entryName + L"”：" + room.text);
}

}  // namespace quennet
