#include "hostile_cases.h"

#include <cstring>
#include <regex>

#include "protocol/bug_info_block.h"
#include "hand_off_driver.h"

namespace handoff {
namespace {

using vessick::BugInfoBlock;

BugInfoBlock* Header(std::vector<uint8_t>& block) {
  return reinterpret_cast<BugInfoBlock*>(block.data());
}

std::wstring Hex8(uint32_t value) {
  wchar_t text[16];
  _snwprintf(text, 16, L"%08X", value);
  return text;
}

uint32_t Handle(HANDLE h) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h)); }

std::function<std::wstring(const HandOffValues&)> SoundLine() {
  return [](const HandOffValues& v) {
    return HandOffLine(v.event, v.process, v.block, v.processId);
  };
}

// A line from a pattern: E, P, B and I stand for the sound event, process, block and id.
std::function<std::wstring(const HandOffValues&)> Pattern(std::wstring pattern) {
  return [pattern](const HandOffValues& v) {
    std::wstring line;
    for (wchar_t c : pattern) {
      if (c == L'E') line += Hex8(Handle(v.event));
      else if (c == L'P') line += Hex8(Handle(v.process));
      else if (c == L'B') line += Hex8(v.block);
      else if (c == L'I') line += std::to_wstring(v.processId);
      else line.push_back(c);
    }
    return line;
  };
}

HostileCase Malformed(const char* name, const wchar_t* pattern) {
  HostileCase c;
  c.name = std::string("line: ") + name;
  c.block = SoundBlock();
  c.line = Pattern(pattern);
  c.expect = Expect::kRefused;
  return c;
}

void AddFixedCases(std::vector<HostileCase>* cases) {
  const std::pair<const char*, const wchar_t*> lines[] = {
      {"no argument", L"orlent"},
      {"blank argument", L"orlent  "},
      {"prefix only", L"orlent /buginfo:"},
      {"no colon", L"orlent /buginfo"},
      {"upper-case switch", L"orlent /BUGINFO:E:P:B:I"},
      {"no slash", L"orlent buginfo:E:P:B:I"},
      {"id missing", L"orlent /buginfo:E:P:B"},
      {"id empty", L"orlent /buginfo:E:P:B:"},
      {"field empty", L"orlent /buginfo:E::B:I"},
      {"extra field", L"orlent /buginfo:E:P:B:I:1"},
      {"trailing blank", L"orlent /buginfo:E:P:B:I "},
      {"trailing tab", L"orlent /buginfo:E:P:B:I\t"},
      {"second argument", L"orlent /buginfo:E:P:B:I extra"},
      {"argument twice", L"orlent /buginfo:E:P:B:I /buginfo:E:P:B:I"},
      {"hex prefix", L"orlent /buginfo:0xE:P:B:I"},
      {"nine hex digits", L"orlent /buginfo:0E:P:B:I"},
      {"not hex", L"orlent /buginfo:E:P:G0000000:I"},
      {"negative id", L"orlent /buginfo:E:P:B:-I"},
      {"signed id", L"orlent /buginfo:E:P:B:+I"},
      {"leading zero id", L"orlent /buginfo:E:P:B:0I"},
      {"id too large", L"orlent /buginfo:E:P:B:4294967296"},
      {"id far too large", L"orlent /buginfo:E:P:B:99999999999999999999999"},
      {"hex id", L"orlent /buginfo:E:P:B:0x1F"},
      {"zero block", L"orlent /buginfo:E:P:00000000:I"},
      {"zero event", L"orlent /buginfo:00000000:P:B:I"},
      {"zero id", L"orlent /buginfo:E:P:B:0"},
      {"full-width digits", L"orlent /buginfo:E:P:B:\xFF11\xFF12"},
      {"semicolons", L"orlent /buginfo;E;P;B;I"},
      {"quoted argument split", L"orlent \"/buginfo:E:P\" B:I"},
      {"no program name", L"/buginfo:E:P:B:I"},
  };
  for (const auto& [name, pattern] : lines) cases->push_back(Malformed(name, pattern));

  auto handles = [&](const char* name, Expect expect,
                     std::function<std::wstring(const HandOffValues&)> line) {
    HostileCase c;
    c.name = std::string("handles: ") + name;
    c.block = SoundBlock();
    c.line = std::move(line);
    c.expect = expect;
    cases->push_back(std::move(c));
  };
  handles("wrong process id", Expect::kReleased, [](const HandOffValues& v) {
    return HandOffLine(v.event, v.process, v.block, v.processId + 4);
  });
  handles("process handle is the event", Expect::kReleased, [](const HandOffValues& v) {
    return HandOffLine(v.event, v.event, v.block, v.processId);
  });
  handles("process handle not open", Expect::kReleased, [](const HandOffValues& v) {
    return HandOffLine(v.event, reinterpret_cast<HANDLE>(0x7FFF0FFC), v.block, v.processId);
  });
  handles("process handle is a pseudo handle", Expect::kReleased, [](const HandOffValues& v) {
    return HandOffLine(v.event, reinterpret_cast<HANDLE>(-1), v.block, v.processId);
  });
  handles("event handle not open", Expect::kNoEvent, [](const HandOffValues& v) {
    return HandOffLine(reinterpret_cast<HANDLE>(0x7FFF0FF8), v.process, v.block, v.processId);
  });
  handles("event handle is the process", Expect::kNoEvent, [](const HandOffValues& v) {
    return HandOffLine(v.process, v.process, v.block, v.processId);
  });

  HostileCase sound;
  sound.name = "sound hand-off";
  sound.block = SoundBlock();
  sound.line = SoundLine();
  sound.expect = Expect::kComplete;
  cases->push_back(sound);
  sound.name = "sound hand-off, no dump wanted";
  Header(sound.block)->flag1 = 0;
  cases->push_back(sound);

  for (BlockAddress address : {BlockAddress::kUnmapped, BlockAddress::kNoAccess,
                               BlockAddress::kTopOfMemory, BlockAddress::kFirstPage}) {
    HostileCase c;
    c.name = "block: address cannot be read";
    c.address = address;
    c.line = SoundLine();
    c.expect = Expect::kIncomplete;
    cases->push_back(std::move(c));
  }
}

// One damaged block. Each kind says whether the damage must make the block fail its checks.
HostileCase DamagedBlock(std::mt19937& rng) {
  auto pick = [&](uint32_t low, uint32_t high) {
    return std::uniform_int_distribution<uint32_t>(low, high)(rng);
  };
  HostileCase c;
  c.block = SoundBlock();
  c.line = SoundLine();
  c.expect = Expect::kIncomplete;
  BugInfoBlock* h = Header(c.block);
  const uint32_t size = h->totalSize;
  const uint32_t stringArea = size - vessick::kBugInfoHeaderSize;
  switch (pick(0, 17)) {
    case 0:
      c.name = "block: totalSize too small";
      h->totalSize = pick(0, vessick::kBugInfoHeaderSize + 9);
      break;
    case 1:
      c.name = "block: totalSize huge";
      h->totalSize = pick(1024 * 1024 + 1, 0xFFFFFFFF);
      break;
    case 2:
      c.name = "block: totalSize past the readable end";
      h->totalSize = size + 2 * pick(1, 8192);
      break;
    case 3:
      c.name = "block: totalSize short of the strings";
      h->totalSize = size - 2 * pick(1, stringArea / 2 - 5);
      break;
    case 4: {
      c.name = "block: string offset anywhere";
      const uint32_t i = pick(0, 4);
      const uint32_t sound = h->stringOffsets[i];
      do h->stringOffsets[i] = pick(0, 0xFFFFFFFF); while (h->stringOffsets[i] == sound);
      break;
    }
    case 5: {
      c.name = "block: string offsets swapped";
      const uint32_t i = pick(0, 3);
      const uint32_t j = pick(i + 1, 4);
      std::swap(h->stringOffsets[i], h->stringOffsets[j]);
      break;
    }
    case 6:
      c.name = "block: string offset odd";
      h->stringOffsets[pick(0, 4)] += 1;
      break;
    case 7:
      c.name = "block: string area without terminators";
      for (uint32_t at = vessick::kBugInfoHeaderSize; at + 1 < size; at += 2) {
        const uint16_t unit = static_cast<uint16_t>(pick(1, 0xFFFF));
        std::memcpy(c.block.data() + at, &unit, 2);
      }
      break;
    case 8:
      c.name = "block: last string unterminated";
      c.block[size - 2] = 'X';
      break;
    case 9:
      c.name = "block: wrong process id";
      h->processId += pick(1, 0xFFFF) * 4;
      break;
    case 10:
      c.name = "block: header cut short by unreadable memory";
      c.shortBy = size - pick(0, vessick::kBugInfoHeaderSize - 1);
      break;
    case 11:
      c.name = "block: strings cut short by unreadable memory";
      c.shortBy = pick(1, stringArea);
      break;
    case 12:
      c.name = "block: no fault recorded";
      if (pick(0, 1)) h->crashThreadId = 0;
      else h->exceptionPointers = 0;
      break;
    case 13:
      c.name = "block: exception pointers unreadable";
      h->exceptionPointers = pick(0, 1) ? pick(1, 0xFFFF) : pick(0x80000000, 0xFFFFFFFF);
      break;
    case 14: {
      c.name = "block: exception record claims too many parameters";
      // A pair of its own in this process, whose record lies about its size.
      static EXCEPTION_RECORD record;
      static EXCEPTION_POINTERS pair;
      record = CaptureFault().record;
      record.NumberParameters = 0xFFFFFFF0;
      pair = {&record, const_cast<CONTEXT*>(&CaptureFault().context)};
      h->exceptionPointers = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&pair));
      break;
    }
    case 15:
      c.name = "block: crashing thread is not ours";
      h->crashThreadId = pick(0x10000, 0x7FFFFFFF) * 4;
      break;
    case 16: {
      c.name = "block: context, TEB and saved stack are garbage";
      c.expect = Expect::kReport;
      h->context.Eip = pick(0, 0xFFFFFFFF);
      h->context.Esp = pick(0, 0xFFFFFFFF);
      h->context.Ebp = pick(0, 0xFFFFFFFF);
      if (pick(0, 1)) h->crashThreadTeb = pick(0, 0xFFFFFFFF);
      if (pick(0, 1)) {
        h->savedStackBase = pick(0, 0xFFFFFFFF);
        h->savedStackLimit = pick(0, 0xFFFFFFFF);
      }
      break;
    }
    default: {
      c.name = "block: random bytes changed";
      c.expect = Expect::kReport;
      for (uint32_t n = pick(1, 8); n > 0; --n) c.block[pick(0, size - 1)] = static_cast<uint8_t>(pick(0, 255));
      break;
    }
  }
  return c;
}

// The sound line with one to three characters deleted, inserted or replaced.
HostileCase MutatedLine(std::mt19937& rng) {
  static const wchar_t alphabet[] = L"0123456789ABCDEFabcdefxyz:/ -+\t\"";
  std::vector<std::pair<int, uint32_t>> edits;
  std::uniform_int_distribution<uint32_t> any;
  for (int n = std::uniform_int_distribution<int>(1, 3)(rng); n > 0; --n)
    edits.emplace_back(std::uniform_int_distribution<int>(0, 2)(rng), any(rng));
  HostileCase c;
  c.name = "line: random edit";
  c.block = SoundBlock();
  c.expect = Expect::kWellFormed;  // decided against the reference grammar when run
  c.line = [edits](const HandOffValues& v) {
    std::wstring line = HandOffLine(v.event, v.process, v.block, v.processId);
    for (const auto& [kind, value] : edits) {
      const size_t at = 7 + value % (line.size() - 6);  // inside the argument
      const wchar_t c = alphabet[(value >> 8) % (sizeof alphabet / sizeof *alphabet - 1)];
      if (kind == 0 && at < line.size()) line.erase(at, 1);
      else if (kind == 1) line.insert(at, 1, c);
      else if (at < line.size()) line[at] = c;
    }
    return line;
  };
  return c;
}

}  // namespace

bool LineIsWellFormed(const std::wstring& line) {
  static const std::wregex grammar(
      L"orlent[ \\t]+/buginfo:([0-9A-Fa-f]{1,8}):([0-9A-Fa-f]{1,8}):([0-9A-Fa-f]{1,8}):"
      L"([1-9][0-9]{0,9})");
  std::wsmatch match;
  if (!std::regex_match(line, match, grammar)) return false;
  for (int i = 1; i <= 3; ++i)
    if (std::wcstoul(match[i].str().c_str(), nullptr, 16) == 0) return false;
  return std::stoull(match[4].str()) <= 0xFFFFFFFFULL;
}

std::vector<HostileCase> MakeHostileCases(uint32_t seed, size_t count) {
  std::vector<HostileCase> cases;
  AddFixedCases(&cases);
  std::mt19937 rng(seed);
  while (cases.size() < count) {
    if (std::uniform_int_distribution<int>(0, 9)(rng) < 7) cases.push_back(DamagedBlock(rng));
    else cases.push_back(MutatedLine(rng));
  }
  return cases;
}

}  // namespace handoff
