#include "process/module_symbols.h"

#include <windows.h>

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

#include "win/unique_handle.h"

namespace orlent {
namespace {

constexpr uint32_t kMaxSections = 96;
constexpr uint32_t kMaxSymbols = 4 * 1024 * 1024;
constexpr uint32_t kMaxStringTable = 64 * 1024 * 1024;
constexpr uint32_t kMaxExports = 256 * 1024;
constexpr uint32_t kMaxDistance = 0x10000;  // farther than this from a symbol: no name
constexpr size_t kMaxNameLength = 1024;
constexpr uint32_t kMaxSectionCopy = 64 * 1024 * 1024;

#pragma pack(push, 1)
struct CoffSymbol {
  union {
    char shortName[8];
    struct {
      uint32_t zeroes;
      uint32_t offset;
    } longName;
  };
  uint32_t value;
  int16_t sectionNumber;
  uint16_t type;
  uint8_t storageClass;
  uint8_t auxCount;
};
#pragma pack(pop)
static_assert(sizeof(CoffSymbol) == 18);

struct Section {
  uint32_t rva;
  uint32_t size;
  uint32_t fileOffset;
  uint32_t fileSize;
  bool code;
};

class PeFile {
 public:
  PeFile(const ModuleSymbols::Reader& read, uint64_t size) : read_(read), size_(size) {}

  bool ReadHeaders() {
    IMAGE_DOS_HEADER dos;
    if (!read_(0, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE) return false;
    const uint64_t ntAt = static_cast<uint32_t>(dos.e_lfanew);
    IMAGE_NT_HEADERS32 nt;
    if (!read_(ntAt, &nt, sizeof nt) || nt.Signature != IMAGE_NT_SIGNATURE ||
        nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC ||
        nt.FileHeader.NumberOfSections > kMaxSections)
      return false;
    file_ = nt.FileHeader;
    if (nt.OptionalHeader.NumberOfRvaAndSizes > IMAGE_DIRECTORY_ENTRY_EXPORT)
      exports_ = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    uint64_t at = ntAt + 4 + sizeof(IMAGE_FILE_HEADER) + nt.FileHeader.SizeOfOptionalHeader;
    for (int i = 0; i < nt.FileHeader.NumberOfSections; ++i, at += sizeof(IMAGE_SECTION_HEADER)) {
      IMAGE_SECTION_HEADER header;
      if (!read_(at, &header, sizeof header)) return false;
      sections_.push_back({header.VirtualAddress,
                           std::max(header.Misc.VirtualSize, header.SizeOfRawData),
                           header.PointerToRawData, header.SizeOfRawData,
                           (header.Characteristics & IMAGE_SCN_MEM_EXECUTE) != 0});
    }
    return true;
  }

  const Section* SectionOf(uint32_t rva) const {
    for (const Section& s : sections_)
      if (rva >= s.rva && rva - s.rva < s.size) return &s;
    return nullptr;
  }

  // Reads through a copy of the section, made on first use: the export table is read a few
  // bytes at a time.
  bool ReadRva(uint32_t rva, void* buffer, size_t size) const {
    const Section* s = SectionOf(rva);
    if (s == nullptr || uint64_t{rva - s->rva} + size > s->fileSize) return false;
    const size_t index = static_cast<size_t>(s - sections_.data());
    std::vector<uint8_t>& copy = sectionCopies_[index];
    if (copy.empty() && s->fileSize <= kMaxSectionCopy) {
      copy.resize(s->fileSize);
      if (!read_(s->fileOffset, copy.data(), copy.size())) copy.clear();
    }
    if (copy.size() != s->fileSize)
      return read_(uint64_t{s->fileOffset} + (rva - s->rva), buffer, size);
    std::memcpy(buffer, copy.data() + (rva - s->rva), size);
    return true;
  }

  std::string ReadRvaString(uint32_t rva) const {
    std::string text;
    char c;
    while (text.size() < kMaxNameLength && ReadRva(rva + static_cast<uint32_t>(text.size()), &c, 1) &&
           c != '\0')
      text.push_back(c);
    return text;
  }

  const IMAGE_FILE_HEADER& file() const { return file_; }
  const IMAGE_DATA_DIRECTORY& exports() const { return exports_; }
  const std::vector<Section>& sections() const { return sections_; }
  const ModuleSymbols::Reader& read() const { return read_; }
  uint64_t size() const { return size_; }

 private:
  const ModuleSymbols::Reader& read_;
  uint64_t size_;
  IMAGE_FILE_HEADER file_ = {};
  IMAGE_DATA_DIRECTORY exports_ = {};
  std::vector<Section> sections_;
  mutable std::map<size_t, std::vector<uint8_t>> sectionCopies_;
};

template <typename Add>
void ReadExports(const PeFile& pe, Add add) {
  const IMAGE_DATA_DIRECTORY& directory = pe.exports();
  IMAGE_EXPORT_DIRECTORY exports;
  if (directory.VirtualAddress == 0 || !pe.ReadRva(directory.VirtualAddress, &exports, sizeof exports))
    return;
  const uint32_t count = std::min<uint32_t>(exports.NumberOfNames, kMaxExports);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t nameRva = 0, functionRva = 0;
    uint16_t ordinal = 0;
    if (!pe.ReadRva(exports.AddressOfNames + i * 4, &nameRva, 4) ||
        !pe.ReadRva(exports.AddressOfNameOrdinals + i * 2, &ordinal, 2) ||
        ordinal >= exports.NumberOfFunctions ||
        !pe.ReadRva(exports.AddressOfFunctions + ordinal * 4u, &functionRva, 4))
      continue;
    // A forwarder points into the export directory, at text naming another DLL's function.
    if (functionRva - directory.VirtualAddress < directory.Size) continue;
    add(functionRva, pe.ReadRvaString(nameRva), true);
  }
}

template <typename Add>
void ReadCoffSymbols(const PeFile& pe, Add add) {
  const IMAGE_FILE_HEADER& file = pe.file();
  if (file.PointerToSymbolTable == 0 || file.NumberOfSymbols == 0 ||
      file.NumberOfSymbols > kMaxSymbols)
    return;
  const uint64_t tableSize = uint64_t{file.NumberOfSymbols} * sizeof(CoffSymbol);
  const uint64_t stringsAt = uint64_t{file.PointerToSymbolTable} + tableSize;
  if (stringsAt > pe.size()) return;
  std::vector<CoffSymbol> table(file.NumberOfSymbols);
  if (!pe.read()(file.PointerToSymbolTable, table.data(), tableSize)) return;
  uint32_t stringsSize = 0;
  std::vector<char> strings;
  if (pe.read()(stringsAt, &stringsSize, 4) && stringsSize > 4 && stringsSize <= kMaxStringTable &&
      stringsAt + stringsSize <= pe.size()) {
    strings.resize(stringsSize);
    if (!pe.read()(stringsAt, strings.data(), stringsSize)) strings.clear();
  }
  for (uint32_t i = 0; i < table.size(); i += 1 + table[i].auxCount) {
    const CoffSymbol& symbol = table[i];
    // Functions, and the untyped (type 0) global labels that assembly routines such as
    // ___chkstk_ms carry; section, file and auxiliary records have storage classes or aux
    // entries of their own.
    const bool function = (symbol.type & 0x30) == 0x20;  // derived type "function"
    const bool label = symbol.type == 0 && symbol.auxCount == 0 &&
                       symbol.storageClass == IMAGE_SYM_CLASS_EXTERNAL;
    // GCC moves the paths of a function it expects never to run (the call to abort in
    // libstdc++'s terminate handler) into a section ".text.unlikely.<symbol>"; an object built
    // without a ".cold" function symbol for it leaves only that section's record, and without
    // it the part would be named after whatever function the linker put before it.
    const bool coldSection = symbol.type == 0 && symbol.auxCount == 1 &&
                             symbol.storageClass == IMAGE_SYM_CLASS_STATIC;
    if (!(function || label || coldSection) || symbol.sectionNumber <= 0 ||
        static_cast<size_t>(symbol.sectionNumber) > pe.sections().size() ||
        (symbol.storageClass != IMAGE_SYM_CLASS_EXTERNAL &&
         symbol.storageClass != IMAGE_SYM_CLASS_STATIC))
      continue;
    std::string name;
    if (symbol.longName.zeroes != 0) {
      name.assign(symbol.shortName, strnlen(symbol.shortName, 8));
    } else if (symbol.longName.offset >= 4 && symbol.longName.offset < strings.size()) {
      const char* start = strings.data() + symbol.longName.offset;
      name.assign(start, strnlen(start, std::min(kMaxNameLength,
                                                 strings.size() - symbol.longName.offset)));
    }
    if (coldSection) {
      const std::string prefix = ".text.unlikely.";
      if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
      // Section names carry the symbol without the leading underscore of i386 COFF.
      name = "_" + name.substr(prefix.size()) + ".cold";
    }
    const Section& section = pe.sections()[symbol.sectionNumber - 1];
    add(section.rva + symbol.value, std::move(name), false);
  }
}

}  // namespace

ModuleSymbols ModuleSymbols::Parse(const Reader& read, uint64_t fileSize) {
  ModuleSymbols result;
  PeFile pe(read, fileSize);
  if (!pe.ReadHeaders()) return result;
  auto add = [&](uint32_t rva, std::string name, bool exported) {
    const Section* section = pe.SectionOf(rva);
    if (name.empty() || section == nullptr || !section->code) return;
    result.symbols_.push_back({rva, section->rva + section->size, std::move(name), exported});
  };
  ReadExports(pe, add);
  ReadCoffSymbols(pe, add);
  // At one address the COFF symbol (the full, mangled name) comes after the export, and so is
  // the one that names it.
  std::stable_sort(result.symbols_.begin(), result.symbols_.end(),
                   [](const Symbol& a, const Symbol& b) {
                     return a.rva != b.rva ? a.rva < b.rva : a.exported && !b.exported;
                   });
  return result;
}

ModuleSymbols ModuleSymbols::Load(const std::wstring& path) {
  win::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
  LARGE_INTEGER size = {};
  if (!file || !::GetFileSizeEx(file.get(), &size)) return {};
  const Reader read = [&](uint64_t offset, void* buffer, size_t length) {
    if (offset + length > static_cast<uint64_t>(size.QuadPart) || length > 0x7FFFFFFF) return false;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    return ::ReadFile(file.get(), buffer, static_cast<DWORD>(length), &got, &at) && got == length;
  };
  return Parse(read, static_cast<uint64_t>(size.QuadPart));
}

std::wstring ModuleSymbols::Describe(uint32_t rva, bool returnAddress, bool scanned) const {
  // A return address may be the first byte after its function (a call that never returns
  // ends it), so the call instruction before it is what names the function.
  const uint32_t lookup = returnAddress && rva > 0 ? rva - 1 : rva;
  auto after = std::upper_bound(symbols_.begin(), symbols_.end(), lookup,
                                [](uint32_t value, const Symbol& s) { return value < s.rva; });
  if (after == symbols_.begin()) return {};
  const Symbol& symbol = *(after - 1);
  if (lookup >= symbol.sectionEnd || lookup - symbol.rva >= kMaxDistance) return {};
  if (scanned && symbol.exported && lookup != symbol.rva) return {};
  wchar_t offset[16];
  swprintf(offset, 16, L"+0x%X", rva - symbol.rva);
  return ReadableSymbolName(symbol.name) + offset;
}

std::wstring ModuleSymbols::NameAt(uint32_t rva) const {
  auto after = std::upper_bound(symbols_.begin(), symbols_.end(), rva,
                                [](uint32_t value, const Symbol& s) { return value < s.rva; });
  if (after == symbols_.begin() || (after - 1)->rva != rva) return {};
  return ReadableSymbolName((after - 1)->name);
}

const ModuleSymbols* SymbolResolver::SymbolsOf(const Module& module) {
  auto known = loaded_.find(module.base);
  if (known == loaded_.end())
    known = loaded_.emplace(module.base, ModuleSymbols::Load(module.path)).first;
  return &known->second;
}

std::wstring SymbolResolver::Describe(uint32_t address, bool returnAddress, bool scanned) {
  const CodeLocation location = modules_.Locate(address);
  if (location.module == nullptr) return {};
  return SymbolsOf(*location.module)->Describe(location.offset, returnAddress, scanned);
}

std::wstring SymbolResolver::NameAt(uint32_t address) {
  const CodeLocation location = modules_.Locate(address);
  if (location.module == nullptr) return {};
  return SymbolsOf(*location.module)->NameAt(location.offset);
}

std::wstring ReadableSymbolName(const std::string& stored) {
  std::string name = stored;
  if (name.size() > 1 && name[0] == '_') name.erase(0, 1);
  if (name.compare(0, 2, "_Z") == 0) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (status == 0 && demangled != nullptr) name = demangled;
    std::free(demangled);
  }
  // Symbol names are ASCII in practice; anything else is shown byte for byte.
  std::wstring wide;
  for (char c : name) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return wide;
}

}  // namespace orlent
