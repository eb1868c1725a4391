#include "process/thrown_type.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "text/utf.h"

namespace orlent {
namespace {

constexpr size_t kMaxMangledName = 512;
// A damaged or hostile type_info graph must not keep the reporter walking.
constexpr int kMaxBaseDepth = 16;
constexpr int kMaxTypeInfosVisited = 64;
constexpr uint32_t kMaxBaseCount = 16;
// libstdc++'s copy-on-write string keeps {length, capacity, refcount} before its characters.
constexpr uint32_t kCowRepBytes = 12;

struct FreeDeleter {
  void operator()(char* text) const { std::free(text); }
};

bool StartsWithThrow(const std::wstring& function) {
  const std::wstring name = L"__cxa_throw";
  return function.compare(0, name.size(), name) == 0 &&
         (function.size() == name.size() || function[name.size()] == L'+');
}

// A mangled name is printable ASCII without spaces; anything else is not a type name.
std::string ReadMangledName(const RemoteMemory& memory, uint32_t address) {
  char buffer[kMaxMangledName + 1] = {};
  const size_t got = memory.ReadPrefix(address, buffer, kMaxMangledName);
  std::string name;
  for (size_t i = 0; i < got; ++i) {
    if (buffer[i] == '\0') return name;
    if (buffer[i] <= ' ' || buffer[i] > '~') return {};
    name += buffer[i];
  }
  return {};  // no end within the bound
}

std::string WithoutLocalMark(const std::string& mangled) {
  return !mangled.empty() && mangled[0] == '*' ? mangled.substr(1) : mangled;
}

// The mangled name a type_info at `typeInfo` holds, when both lie inside a module.
std::string TypeInfoName(const RemoteMemory& memory, const ModuleList& modules,
                         uint32_t typeInfo) {
  uint32_t namePointer = 0;
  if (modules.Find(typeInfo) == nullptr || !memory.ReadValue(typeInfo + 4, &namePointer) ||
      modules.Find(namePointer) == nullptr)
    return {};
  return WithoutLocalMark(ReadMangledName(memory, namePointer));
}

enum class ClassKind { kNotAClass, kNoBases, kSingleBase, kManyBases };

// A type_info is itself polymorphic: the type_info of its vtable (one slot before the vtable
// pointer's target) says which of the ABI's class descriptions it is and so how its bases are
// laid out.
ClassKind KindOf(const RemoteMemory& memory, const ModuleList& modules, uint32_t typeInfo) {
  uint32_t vtable = 0, metaType = 0;
  if (!memory.ReadValue(typeInfo, &vtable) || vtable < 4 ||
      !memory.ReadValue(vtable - 4, &metaType))
    return ClassKind::kNotAClass;
  const std::string meta = TypeInfoName(memory, modules, metaType);
  if (meta == "N10__cxxabiv117__class_type_infoE") return ClassKind::kNoBases;
  if (meta == "N10__cxxabiv120__si_class_type_infoE") return ClassKind::kSingleBase;
  if (meta == "N10__cxxabiv121__vmi_class_type_infoE") return ClassKind::kManyBases;
  return ClassKind::kNotAClass;
}

struct BaseFound {
  bool found = false;
  bool offsetKnown = false;  // false when the path runs through a virtual base
  int32_t offset = 0;        // of the base within the thrown object
};

class BaseSearch {
 public:
  BaseSearch(const RemoteMemory& memory, const ModuleList& modules,
             std::vector<std::string> wanted)
      : memory_(memory), modules_(modules), wanted_(std::move(wanted)) {}

  // The first base (or the type itself) of the class at `typeInfo` named one of `wanted`.
  BaseFound Find(uint32_t typeInfo) { return Visit(typeInfo, 0, true, 0); }

 private:
  BaseFound Visit(uint32_t typeInfo, int depth, bool offsetKnown, int32_t offset) {
    if (depth > kMaxBaseDepth || ++visited_ > kMaxTypeInfosVisited) return {};
    const std::string name = TypeInfoName(memory_, modules_, typeInfo);
    if (name.empty()) return {};
    for (const std::string& wanted : wanted_)
      if (name == wanted) return {true, offsetKnown, offset};
    switch (KindOf(memory_, modules_, typeInfo)) {
      case ClassKind::kSingleBase: {
        uint32_t base = 0;
        if (!memory_.ReadValue(typeInfo + 8, &base)) return {};
        return Visit(base, depth + 1, offsetKnown, offset);
      }
      case ClassKind::kManyBases: {
        uint32_t count = 0;
        if (!memory_.ReadValue(typeInfo + 12, &count) || count > kMaxBaseCount) return {};
        for (uint32_t i = 0; i < count; ++i) {
          uint32_t entry[2] = {};  // base type_info*, offset << 8 | virtual 1 | public 2
          if (!memory_.Read(typeInfo + 16 + i * 8, entry, sizeof entry)) return {};
          const bool isVirtual = (entry[1] & 1) != 0;
          const int32_t baseOffset = static_cast<int32_t>(entry[1]) >> 8;
          const BaseFound found =
              Visit(entry[0], depth + 1, offsetKnown && !isVirtual, offset + baseOffset);
          if (found.found) return found;
        }
        return {};
      }
      default:
        return {};
    }
  }

  const RemoteMemory& memory_;
  const ModuleList& modules_;
  std::vector<std::string> wanted_;
  int visited_ = 0;
};

// The message of a std::logic_error or std::runtime_error at `base`: after the vtable pointer
// a pointer to the characters of a copy-on-write string, its rep just before them.
std::optional<std::wstring> ReadStdexceptMessage(const RemoteMemory& memory, uint32_t base) {
  uint32_t characters = 0;
  uint32_t rep[3] = {};  // length, capacity, refcount
  if (!memory.ReadValue(base + 4, &characters) || characters < kCowRepBytes ||
      !memory.Read(characters - kCowRepBytes, rep, sizeof rep) || rep[1] < rep[0])
    return std::nullopt;
  const uint32_t length = rep[0];
  // Three bytes past the bound let the cut find the end of a character it would split.
  const uint32_t wanted = length > kMaxWhatBytes ? kMaxWhatBytes + 3 : length + 1;
  std::string bytes(wanted, '\0');
  if (!memory.Read(characters, bytes.data(), bytes.size())) return std::nullopt;
  if (length <= kMaxWhatBytes) {
    if (bytes[length] != '\0') return std::nullopt;  // not a string's rep after all
    bytes.resize(length);
  }
  return MessageText(bytes);
}

// The code point of the UTF-8 sequence at `at`, advancing `at`; U+FFFD for an invalid one,
// which is skipped as far as its valid prefix.
char32_t DecodeOne(const std::string& bytes, size_t* at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(*at);
  size_t length = 0;
  char32_t code = 0, lowest = 0;
  if (lead < 0x80) {
    ++*at;
    return lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1F, lowest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0F, lowest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07, lowest = 0x10000;
  } else {
    ++*at;
    return 0xFFFD;
  }
  size_t i = 1;
  for (; i < length && *at + i < bytes.size() && (byte(*at + i) & 0xC0) == 0x80; ++i)
    code = code << 6 | (byte(*at + i) & 0x3F);
  const bool complete = i == length;
  const bool sound = complete && code >= lowest && code <= 0x10FFFF &&
                     !(code >= 0xD800 && code <= 0xDFFF);
  if (!sound) {
    // An overlong or surrogate form is wrong from its lead byte: skip only that.
    *at += complete ? 1 : i;
    return 0xFFFD;
  }
  *at += length;
  return code;
}

}  // namespace

std::wstring MessageText(const std::string& bytes) {
  size_t end = bytes.size();
  if (end > kMaxWhatBytes) {
    end = kMaxWhatBytes;
    // Never split a character: back off over the continuation bytes of the one at the cut.
    for (int back = 0; back < 3 && end > 0 &&
                       (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80;
         ++back)
      --end;
  }
  const std::string kept = bytes.substr(0, end);
  std::wstring text;
  for (size_t at = 0; at < kept.size();) {
    const char32_t code = DecodeOne(kept, &at);
    if (code >= 0x10000) {
      text += static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10));
      text += static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      text += static_cast<wchar_t>(code);
    }
  }
  return text;
}

std::wstring DemangleTypeName(const std::string& mangled) {
  // A type local to a function is marked with a leading '*' by GCC.
  const std::string name = WithoutLocalMark(mangled);
  if (name.empty()) return {};
  int status = 0;
  std::unique_ptr<char, FreeDeleter> readable(
      abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status));
  if (status == 0 && readable) return text::Utf8ToWide(readable.get());
  return {};
}

ThrownException ReadThrownException(const RemoteMemory& memory, const ModuleList& modules,
                                    const StackTrace& trace,
                                    const std::map<uint32_t, std::wstring>& functions) {
  for (size_t i = 0; i + 1 < trace.frames.size(); ++i) {
    const auto found = functions.find(trace.frames[i].address);
    if (found == functions.end() || !StartsWithThrow(found->second)) continue;
    // The caller's frame holds the return address into it at `slot`; cdecl arguments follow.
    const uint32_t slot = trace.frames[i + 1].slot;
    uint32_t arguments[2] = {};  // thrown object, type_info*
    if (slot == 0 || !memory.Read(slot + 4, arguments, sizeof arguments)) return {};
    ThrownException thrown;
    thrown.type = DemangleTypeName(TypeInfoName(memory, modules, arguments[1]));
    if (thrown.type.empty()) return {};
    const BaseFound message =
        BaseSearch(memory, modules, {"St11logic_error", "St13runtime_error"}).Find(arguments[1]);
    if (message.found && message.offsetKnown)
      thrown.what = ReadStdexceptMessage(memory, arguments[0] + message.offset);
    return thrown;
  }
  return {};
}

}  // namespace orlent
