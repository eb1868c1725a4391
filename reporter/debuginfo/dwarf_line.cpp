#include "debuginfo/dwarf_line.h"

#include <algorithm>

#include "debuginfo/dwarf_unit.h"

namespace orlent::debuginfo {
namespace {

constexpr size_t kMaxFiles = 1 << 16;
constexpr size_t kMaxFormats = 32;

// DW_LNS_*, DW_LNE_*, DW_LNCT_*
enum : uint8_t {
  kCopy = 1,
  kAdvancePc = 2,
  kAdvanceLine = 3,
  kSetFile = 4,
  kConstAddPc = 8,
  kFixedAdvancePc = 9,

  kEndSequence = 1,
  kSetAddress = 2,
  kDefineFile = 3,

  kContentPath = 1,
  kContentDirectoryIndex = 2,
};

bool Absolute(const std::string& path) {
  return !path.empty() &&
         (path[0] == '/' || path[0] == '\\' || (path.size() > 1 && path[1] == ':'));
}

struct EntryFormat {
  uint64_t content = 0;
  uint16_t form = 0;
};

// DWARF 5's self-describing directory and file entries: each field's content and form.
bool ReadEntryFormats(ByteCursor* at, std::vector<EntryFormat>* formats) {
  const uint8_t count = at->U8();
  if (count > kMaxFormats) return false;
  for (uint8_t i = 0; i < count; ++i) {
    const uint64_t content = at->Uleb();
    const uint64_t form = at->Uleb();
    if (form > 0xFFFF) return false;
    formats->push_back({content, static_cast<uint16_t>(form)});
  }
  return at->ok();
}

// Entries as (path, directory index) pairs.
bool ReadEntries(ByteCursor* at, const std::vector<EntryFormat>& formats,
                 const UnitHeader& unit, const DwarfSections& s,
                 std::vector<std::pair<std::string, uint64_t>>* entries) {
  const uint64_t count = at->Uleb();
  if (!at->ok() || count > kMaxFiles) return false;
  for (uint64_t i = 0; i < count; ++i) {
    std::pair<std::string, uint64_t> entry;
    for (const EntryFormat& format : formats) {
      AttributeValue value;
      if (!ReadAttribute(at, AbbrevAttribute{0, format.form, 0}, unit, s, &value)) return false;
      if (format.content == kContentPath && value.kind == AttributeValue::Kind::kString)
        entry.first = std::string(value.text);
      else if (format.content == kContentDirectoryIndex && value.isConstant())
        entry.second = value.number;
    }
    entries->push_back(std::move(entry));
  }
  return at->ok();
}

}  // namespace

std::string JoinSourcePath(const std::string& folder, const std::string& name) {
  if (Absolute(name) || folder.empty()) return name;
  const char last = folder.back();
  return folder + (last == '/' || last == '\\' ? "" : "/") + name;
}

LineTable LineTable::Parse(const DwarfSections& s, uint64_t offset, uint8_t addressSize,
                           const std::string& compDir, size_t maxRows) {
  LineTable table;
  ByteCursor at(s.line, offset);
  const uint32_t length = at.U32();
  if (!at.ok() || length >= 0xFFFFFFF0u || length > at.remaining()) return table;
  const uint64_t end = at.offset() + length;
  const uint16_t version = at.U16();
  if (version < 2 || version > 5) return table;
  if (version == 5) {
    addressSize = at.U8();
    at.U8();  // segment selector size
  }
  if (addressSize != 4 && addressSize != 8) return table;
  const uint32_t headerLength = at.U32();
  const uint64_t programAt = at.offset() + headerLength;
  const uint8_t minInstructionLength = at.U8();
  if (version >= 4) at.U8();  // maximum operations per instruction: 1 on x86
  const bool defaultIsStmt = at.U8() != 0;
  (void)defaultIsStmt;
  const int8_t lineBase = static_cast<int8_t>(at.U8());
  const uint8_t lineRange = at.U8();
  const uint8_t opcodeBase = at.U8();
  if (!at.ok() || lineRange == 0 || opcodeBase == 0 || programAt > end) return table;
  std::vector<uint8_t> opcodeLengths(opcodeBase, 0);
  for (uint8_t i = 1; i < opcodeBase; ++i) opcodeLengths[i] = at.U8();

  std::vector<std::string> folders;
  if (version == 5) {
    UnitHeader unit;
    unit.bases.version = 5;
    unit.bases.addressSize = addressSize;
    std::vector<EntryFormat> formats;
    std::vector<std::pair<std::string, uint64_t>> directories, files;
    if (!ReadEntryFormats(&at, &formats) || !ReadEntries(&at, formats, unit, s, &directories))
      return table;
    formats.clear();
    if (!ReadEntryFormats(&at, &formats) || !ReadEntries(&at, formats, unit, s, &files))
      return table;
    for (const auto& directory : directories)
      folders.push_back(Absolute(directory.first) || folders.empty()
                            ? directory.first
                            : JoinSourcePath(folders[0], directory.first));
    for (const auto& file : files) {
      const std::string& folder = file.second < folders.size() ? folders[file.second] : compDir;
      table.files_.push_back(JoinSourcePath(folder, file.first));
    }
  } else {
    folders.push_back(compDir);
    for (;;) {
      const std::string_view folder = at.CString();
      if (!at.ok() || folders.size() > kMaxFiles) return table;
      if (folder.empty()) break;
      folders.push_back(JoinSourcePath(compDir, std::string(folder)));
    }
    table.files_.emplace_back();  // file numbers count from 1
    for (;;) {
      const std::string_view name = at.CString();
      if (!at.ok() || table.files_.size() > kMaxFiles) return table;
      if (name.empty()) break;
      const uint64_t folder = at.Uleb();
      at.Uleb();  // modification time
      at.Uleb();  // length
      table.files_.push_back(
          JoinSourcePath(folder < folders.size() ? folders[folder] : compDir, std::string(name)));
    }
  }
  if (!at.ok()) return table;

  // The state machine; only address, file and line matter for naming.
  ByteCursor program(s.line.Sub(0, end), programAt);
  uint64_t address = 0;
  uint64_t file = 1;
  int64_t line = 1;
  bool addressKnown = false;
  auto emit = [&](bool endSequence) {
    if (!addressKnown) return;
    const std::optional<uint32_t> rva = ToRva(s, address);
    if (rva && table.rows_.size() < maxRows)
      table.rows_.push_back({*rva, static_cast<uint32_t>(std::clamp<int64_t>(line, 0, 0x7FFFFFFF)),
                             static_cast<uint32_t>(std::min<uint64_t>(file, 0xFFFFFFFFu)),
                             endSequence});
  };
  while (program.ok() && !program.AtEnd() && table.rows_.size() < maxRows) {
    const uint8_t opcode = program.U8();
    if (opcode >= opcodeBase) {
      const uint8_t adjusted = opcode - opcodeBase;
      address += static_cast<uint64_t>(adjusted / lineRange) * minInstructionLength;
      line += lineBase + adjusted % lineRange;
      emit(false);
      continue;
    }
    switch (opcode) {
      case 0: {
        const uint64_t size = program.Uleb();
        const uint64_t next = program.offset() + size;
        if (!program.ok() || size == 0 || size > program.remaining()) {
          program.Skip(program.remaining() + 1);
          break;
        }
        const uint8_t extended = program.U8();
        if (extended == kEndSequence) {
          emit(true);
          address = 0;
          file = 1;
          line = 1;
          addressKnown = false;
        } else if (extended == kSetAddress) {
          address = program.Fixed(static_cast<unsigned>(std::min<uint64_t>(size - 1, 8)));
          addressKnown = true;
        } else if (extended == kDefineFile && version < 5) {
          const std::string_view name = program.CString();
          const uint64_t folder = program.Uleb();
          if (program.ok() && table.files_.size() < kMaxFiles)
            table.files_.push_back(JoinSourcePath(
                folder < folders.size() ? folders[folder] : compDir, std::string(name)));
        }
        program.Seek(next);
        break;
      }
      case kCopy: emit(false); break;
      case kAdvancePc: address += program.Uleb() * minInstructionLength; break;
      case kAdvanceLine: line += program.Sleb(); break;
      case kSetFile: file = program.Uleb(); break;
      case kConstAddPc:
        address += static_cast<uint64_t>((255u - opcodeBase) / lineRange) * minInstructionLength;
        break;
      case kFixedAdvancePc: address += program.U16(); break;
      default:
        // Standard opcodes this reader ignores (column, statement flags, ISA, and any later
        // ones) are stepped over by the operand counts the header gives.
        for (uint8_t i = 0; i < opcodeLengths[opcode]; ++i) program.Uleb();
        break;
    }
  }

  // Sequences are laid out by the linker's order; lookups want address order. At one address,
  // a sequence's end comes before the next one's start, and within a sequence the last row
  // stands (as GNU addr2line keeps it).
  std::stable_sort(table.rows_.begin(), table.rows_.end(), [](const LineRow& a, const LineRow& b) {
    if (a.rva != b.rva) return a.rva < b.rva;
    return a.endSequence && !b.endSequence;
  });
  table.ok_ = true;
  return table;
}

std::optional<LineLocation> LineTable::Find(uint32_t rva) const {
  auto after = std::upper_bound(rows_.begin(), rows_.end(), rva,
                                [](uint32_t value, const LineRow& row) { return value < row.rva; });
  if (after == rows_.begin()) return std::nullopt;
  const LineRow& row = *(after - 1);
  if (row.endSequence || row.line == 0) return std::nullopt;
  const std::string* file = File(row.file);
  if (file == nullptr) return std::nullopt;
  return LineLocation{file, row.line};
}

const std::string* LineTable::File(uint64_t index) const {
  if (index >= files_.size() || files_[index].empty()) return nullptr;
  return &files_[index];
}

}  // namespace orlent::debuginfo
