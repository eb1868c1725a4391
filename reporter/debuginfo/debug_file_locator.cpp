#include "debuginfo/debug_file_locator.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <cwchar>

#include "text/utf.h"

namespace orlent::debuginfo {
namespace {

constexpr size_t kMaxPathEntries = 32;

std::wstring FolderOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring FileNameOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring WithoutExtension(const std::wstring& name) {
  const size_t dot = name.find_last_of(L'.');
  return dot == std::wstring::npos || dot == 0 ? name : name.substr(0, dot);
}

std::wstring Joined(std::wstring folder, const std::wstring& name) {
  if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
  return folder + name;
}

// A name taken from a file must stay a name: "..\..\x" or "C:\x" would look elsewhere.
bool PlainFileName(const std::wstring& name) {
  return !name.empty() && name != L"." && name != L".." &&
         name.find_first_of(L"\\/:") == std::wstring::npos;
}

bool SameGuidAndAge(const ModuleKey& key, const CodeViewRecord& record) {
  return std::memcmp(key.guid, record.guid, 16) == 0 && key.age == record.age;
}

// strip shrinks SizeOfImage (the debug sections leave the image), so a debug file made before
// stripping is recognised by the code it describes: the same executable sections at the same
// places.
bool SameCodeSections(const PeImage& module, const PeImage& candidate) {
  bool any = false;
  for (const PeSection& section : module.sections()) {
    if (!section.executable()) continue;
    const PeSection* other = candidate.Section(section.name);
    if (other == nullptr || other->rva != section.rva || other->virtualSize != section.virtualSize)
      return false;
    any = true;
  }
  return any;
}

class Search {
 public:
  Search(const ModuleKey& key, const PeImage* module) : key_(key), module_(module) {}

  // Tries `path` once; true when it was accepted. The module's own file is the build that
  // was loaded when its headers agree.
  bool Try(const std::wstring& path, bool ownFile = false) {
    if (path.empty() || !tried_.insert(path)) return false;
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    std::wstring error;
    std::optional<MappedFile> file = MappedFile::Open(path, &error);
    if (!file) {
      result_.refused.push_back(path + L": " + error);
      return false;
    }
    std::optional<PeImage> image = PeImage::Parse(file->bytes());
    if (!image) {
      result_.refused.push_back(path + L": not a PE file");
      return false;
    }
    if (!image->HasDwarf()) {
      result_.refused.push_back(path + L": no DWARF");
      return false;
    }
    std::wstring why = L"another TimeDateStamp or SizeOfImage";
    const bool same = ownFile ? image->timeDateStamp() == key_.timeDateStamp &&
                                    image->sizeOfImage() == key_.sizeOfImage
                              : SameBuild(key_, module_, *image, file->bytes(), &why);
    if (!same) {
      result_.refused.push_back(path + L": " + why);
      return false;
    }
    // The image refers to the mapped bytes, which stay where they are when the file moves.
    result_.found = DebugFile{path, std::move(*file), *image};
    return true;
  }

  bool TrySymbolPath(const std::vector<std::wstring>& symbolPath,
                     const std::vector<std::wstring>& names) {
    const std::vector<StoreEntry> entries = StoreEntriesFor(key_, module_);
    for (const std::wstring& folder : symbolPath) {
      for (const StoreEntry& entry : entries)
        if (Try(Joined(Joined(Joined(folder, entry.name), entry.id), entry.name))) return true;
      for (const std::wstring& name : names)
        if (Try(Joined(folder, name))) return true;
    }
    return false;
  }

  LocateResult Take() { return std::move(result_); }

 private:
  // Paths compare without regard to case, as the file system does.
  struct Tried {
    std::vector<std::wstring> seen;
    bool insert(const std::wstring& path) {
      for (const std::wstring& s : seen)
        if (::CompareStringOrdinal(s.c_str(), -1, path.c_str(), -1, TRUE) == CSTR_EQUAL)
          return false;
      seen.push_back(path);
      return true;
    }
  };

  const ModuleKey& key_;
  const PeImage* module_;
  Tried tried_;
  LocateResult result_;
};

// The file names a debug file for the module may have, in the order they are tried.
std::vector<std::wstring> DebugFileNames(const ModuleKey& key, const PeImage* module) {
  std::vector<std::wstring> names;
  auto add = [&](const std::wstring& name) {
    if (PlainFileName(name) && std::find(names.begin(), names.end(), name) == names.end())
      names.push_back(name);
  };
  if (module != nullptr)
    if (std::optional<DebugLink> link = module->debugLink())
      add(text::Utf8ToWide(link->fileName.c_str()));
  const std::wstring own = FileNameOf(key.path);
  for (const std::wstring& stem : {WithoutExtension(own), own}) {
    add(stem + L".debug");
    add(stem + L".dbg");
  }
  return names;
}

uint32_t CrcTableEntry(uint32_t index) {
  uint32_t value = index;
  for (int bit = 0; bit < 8; ++bit) value = (value & 1) ? 0xEDB88320u ^ (value >> 1) : value >> 1;
  return value;
}

}  // namespace

std::vector<StoreEntry> StoreEntriesFor(const ModuleKey& key, const PeImage* module) {
  std::vector<StoreEntry> entries;
  auto add = [&](const std::wstring& name, const std::wstring& id) {
    if (!PlainFileName(name)) return;
    for (const StoreEntry& e : entries)
      if (e.name == name && e.id == id) return;
    entries.push_back({name, id});
  };
  const std::wstring moduleName = FileNameOf(key.path);
  wchar_t imageId[24];
  std::swprintf(imageId, 24, L"%08X%x", key.timeDateStamp, key.sizeOfImage);
  if (key.hasCodeView) {
    const uint8_t* g = key.guid;
    wchar_t id[48];
    std::swprintf(id, 48, L"%08X%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X%X",
                  g[0] | g[1] << 8 | g[2] << 16 | unsigned(g[3]) << 24, g[4] | g[5] << 8,
                  g[6] | g[7] << 8, g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15],
                  key.age);
    std::string pdb = key.pdbName;
    if (pdb.empty() && module != nullptr && module->codeView()) pdb = module->codeView()->pdbName;
    const std::wstring pdbName = FileNameOf(text::Utf8ToWide(pdb.c_str()));
    add(pdbName, id);
    if (module != nullptr)
      if (std::optional<DebugLink> link = module->debugLink())
        add(text::Utf8ToWide(link->fileName.c_str()), id);
    add(moduleName, id);
  }
  if (module != nullptr)
    if (std::optional<DebugLink> link = module->debugLink())
      add(text::Utf8ToWide(link->fileName.c_str()), imageId);
  add(moduleName, imageId);
  return entries;
}

std::vector<std::wstring> ParseSymbolPath(std::wstring_view text) {
  std::vector<std::wstring> folders;
  size_t start = 0;
  while (start <= text.size() && folders.size() < kMaxPathEntries) {
    size_t end = text.find(L';', start);
    if (end == std::wstring_view::npos) end = text.size();
    std::wstring_view entry = text.substr(start, end - start);
    while (!entry.empty() && (entry.front() == L' ' || entry.front() == L'\t'))
      entry.remove_prefix(1);
    while (!entry.empty() && (entry.back() == L' ' || entry.back() == L'\t'))
      entry.remove_suffix(1);
    // "srv*C:\store*https://..." as debuggers write it: the local stores in it count, the
    // servers do not (the reporter downloads nothing while a host waits).
    size_t part = 0;
    while (part <= entry.size()) {
      size_t star = entry.find(L'*', part);
      if (star == std::wstring_view::npos) star = entry.size();
      const std::wstring piece(entry.substr(part, star - part));
      const bool keyword = piece == L"srv" || piece == L"SRV" || piece == L"cache" ||
                           piece == L"CACHE" || piece == L"symsrv";
      if (!piece.empty() && !keyword && piece.find(L"://") == std::wstring::npos &&
          std::find(folders.begin(), folders.end(), piece) == folders.end())
        folders.push_back(piece);
      part = star + 1;
    }
    start = end + 1;
  }
  return folders;
}

uint32_t DebugLinkCrc(ByteSpan bytes) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) t[i] = CrcTableEntry(i);
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < bytes.size; ++i) crc = table[(crc ^ bytes.data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

bool SameBuild(const ModuleKey& key, const PeImage* module, const PeImage& candidate,
               ByteSpan candidateBytes, std::wstring* why) {
  if (key.hasCodeView) {
    const std::optional<CodeViewRecord> record = candidate.codeView();
    if (record && SameGuidAndAge(key, *record)) return true;
    *why = record ? L"another CodeView GUID or age" : L"no CodeView record";
    return false;
  }
  if (module != nullptr)
    if (std::optional<DebugLink> link = module->debugLink()) {
      if (DebugLinkCrc(candidateBytes) == link->crc) return true;
      *why = L"its CRC-32 is not the one .gnu_debuglink names";
      return false;
    }
  if (candidate.timeDateStamp() != key.timeDateStamp) {
    *why = L"another TimeDateStamp";
    return false;
  }
  if (candidate.sizeOfImage() == key.sizeOfImage) return true;
  // Without the module's file the stamp is all there is to compare.
  if (module == nullptr || SameCodeSections(*module, candidate)) return true;
  *why = L"other code sections";
  return false;
}

LocateResult LocateInSymbolPath(const ModuleKey& key, const PeImage* module,
                                const std::vector<std::wstring>& symbolPath) {
  Search search(key, module);
  search.TrySymbolPath(symbolPath, DebugFileNames(key, module));
  return search.Take();
}

LocateResult LocateDebugFile(const ModuleKey& key, const std::vector<std::wstring>& symbolPath) {
  std::wstring error;
  std::optional<MappedFile> own = MappedFile::Open(key.path, &error);
  std::optional<PeImage> module;
  if (own) module = PeImage::Parse(own->bytes());
  const PeImage* moduleImage = module ? &*module : nullptr;

  Search search(key, moduleImage);
  if (module && module->HasDwarf() && search.Try(key.path, true)) return search.Take();

  const std::vector<std::wstring> names = DebugFileNames(key, moduleImage);
  const std::wstring folder = FolderOf(key.path);
  if (!folder.empty()) {
    for (const std::wstring& name : names)
      if (search.Try(Joined(folder, name)) || search.Try(Joined(folder + L".debug", name)))
        return search.Take();
  }
  search.TrySymbolPath(symbolPath, names);
  return search.Take();
}

}  // namespace orlent::debuginfo
