// hostile_hand_off fuzz SEED COUNT ORLENT_EXE
//   Runs COUNT hostile hand-offs (the same ones for the same seed) against the real reporter,
//   a few at a time, and checks each: no crash, no hang, the exit code the case calls for, and
//   the event set exactly when its handle was usable. Prints one line per failed case, then
//   "cases=N failed=F reports=R" (R: how many report folders the reporter must have made).
// hostile_hand_off once ORLENT_EXE [nodump]
//   One sound hand-off (with "nodump", its block asks for no dump: flag1 0); prints
//   "exit=N event=set|unset".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "hand_off_driver.h"
#include "protocol/bug_info_block.h"
#include "hostile_cases.h"

namespace {

using handoff::BlockAddress;
using handoff::Expect;

constexpr DWORD kCaseTimeoutMs = 30000;
constexpr size_t kParallel = 4;

HANDLE NullOutput() {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  static win::UniqueFileHandle nul(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 &inheritable, OPEN_EXISTING, 0, nullptr));
  return nul.get();
}

// Addresses where no block can be read.
uint32_t UnreadableAddress(BlockAddress kind) {
  static void* reserved = ::VirtualAlloc(nullptr, 0x10000, MEM_RESERVE, PAGE_NOACCESS);
  static void* noAccess = ::VirtualAlloc(nullptr, 0x1000, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
  switch (kind) {
    case BlockAddress::kUnmapped: return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(reserved));
    case BlockAddress::kNoAccess: return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(noAccess));
    case BlockAddress::kTopOfMemory: return 0xFFFFF800;
    case BlockAddress::kFirstPage: return 0x00000010;
    default: return 0;
  }
}

struct Running {
  const handoff::HostileCase* hostile = nullptr;
  std::unique_ptr<handoff::BlockPlacement> placement;
  handoff::Launch launch;
  Expect expect = Expect::kComplete;
};

bool Start(const handoff::HostileCase& hostile, const std::wstring& orlent, Running* run) {
  run->hostile = &hostile;
  uint32_t address = UnreadableAddress(hostile.address);
  if (hostile.address == BlockAddress::kPlaced) {
    run->placement = std::make_unique<handoff::BlockPlacement>(hostile.block, hostile.shortBy);
    address = run->placement->address();
  }
  run->expect = hostile.expect;
  const bool started = handoff::StartReporter(
      orlent,
      [&](HANDLE event, HANDLE process) {
        return hostile.line({event, process, address, ::GetCurrentProcessId()});
      },
      NullOutput(), &run->launch);
  if (run->expect == Expect::kWellFormed && !handoff::LineIsWellFormed(run->launch.commandLine))
    run->expect = Expect::kRefused;
  return started;
}

// Checks one finished case; returns the failure, or empty.
std::string Check(Running* run, bool* madeReport) {
  DWORD code = 0;
  if (!handoff::WaitForReporter(&run->launch, kCaseTimeoutMs, &code)) return "hung";
  const bool eventSet = handoff::EventIsSet(run->launch);
  *madeReport = code == 0 || code == 3;
  char text[128];
  std::snprintf(text, sizeof text, "exit %lu, event %s", code, eventSet ? "set" : "unset");
  bool good = false;
  switch (run->expect) {
    case Expect::kRefused: good = code == 1 && !eventSet; break;
    case Expect::kNoEvent: good = code == 2 && !eventSet; break;
    case Expect::kReleased: good = code == 2 && eventSet; break;
    case Expect::kIncomplete: good = code == 3 && eventSet; break;
    case Expect::kReport: good = (code == 0 || code == 3) && eventSet; break;
    case Expect::kComplete: good = code == 0 && eventSet; break;
    case Expect::kWellFormed:  // the same hand-off in another spelling, or values that misfit
      good = code == 2 || ((code == 0 || code == 3) && eventSet);
      break;
  }
  return good ? std::string() : text;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
  return out;
}

int Fuzz(uint32_t seed, size_t count, const std::wstring& orlent) {
  const std::vector<handoff::HostileCase> cases = handoff::MakeHostileCases(seed, count);
  size_t failed = 0, reports = 0;
  for (size_t first = 0; first < cases.size(); first += kParallel) {
    std::vector<Running> batch(std::min(kParallel, cases.size() - first));
    for (size_t i = 0; i < batch.size(); ++i) {
      if (!Start(cases[first + i], orlent, &batch[i])) {
        std::printf("case %zu (%s): not started: %s\n", first + i, cases[first + i].name.c_str(),
                    Narrow(batch[i].launch.error).c_str());
        ++failed;
        batch[i].hostile = nullptr;
      }
    }
    for (size_t i = 0; i < batch.size(); ++i) {
      if (batch[i].hostile == nullptr) continue;
      bool madeReport = false;
      const std::string failure = Check(&batch[i], &madeReport);
      if (madeReport) ++reports;
      if (!failure.empty()) {
        ++failed;
        std::printf("case %zu (%s): %s; line %s\n", first + i, batch[i].hostile->name.c_str(),
                    failure.c_str(), Narrow(batch[i].launch.commandLine).c_str());
      }
    }
  }
  std::printf("cases=%zu failed=%zu reports=%zu\n", cases.size(), failed, reports);
  std::fflush(stdout);
  return failed == 0 ? 0 : 1;
}

int Once(const std::wstring& orlent, bool dumpWanted) {
  std::vector<uint8_t> block = handoff::SoundBlock();
  if (!dumpWanted) reinterpret_cast<vessick::BugInfoBlock*>(block.data())->flag1 = 0;
  handoff::BlockPlacement placement(block);
  handoff::Launch launch;
  HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  ::SetHandleInformation(output, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  std::fflush(stdout);
  if (!handoff::StartReporter(
          orlent,
          [&](HANDLE event, HANDLE process) {
            return handoff::HandOffLine(event, process, placement.address(),
                                        ::GetCurrentProcessId());
          },
          output, &launch)) {
    std::printf("not started: %s\n", Narrow(launch.error).c_str());
    return 1;
  }
  DWORD code = 0;
  const bool ended = handoff::WaitForReporter(&launch, kCaseTimeoutMs, &code);
  std::printf("exit=%s event=%s\n", ended ? std::to_string(code).c_str() : "hung",
              handoff::EventIsSet(launch) ? "set" : "unset");
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"fuzz" && argc == 5)
    return Fuzz(static_cast<uint32_t>(std::wcstoul(argv[2], nullptr, 10)),
                std::wcstoul(argv[3], nullptr, 10), argv[4]);
  if (mode == L"once" && argc == 3) return Once(argv[2], true);
  if (mode == L"once" && argc == 4 && std::wstring(argv[3]) == L"nodump")
    return Once(argv[2], false);
  std::fputs("usage: hostile_hand_off fuzz SEED COUNT ORLENT_EXE | once ORLENT_EXE [nodump]\n",
             stderr);
  return 2;
}
