#include "measure/phase_times.h"

#include <windows.h>

#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "handoff/console_output.h"
#include "win/process_age.h"

namespace orlent {
namespace {

struct PhaseClock {
  bool measuring = ::GetEnvironmentVariableW(kPhaseTimesVariable, nullptr, 0) != 0;
  LARGE_INTEGER frequency = {};
  LARGE_INTEGER last = {};
  std::vector<std::pair<const wchar_t*, double>> phases;
};

PhaseClock& Clock() {
  static PhaseClock clock;
  return clock;
}

}  // namespace

void EndPhase(const wchar_t* name) {
  PhaseClock& clock = Clock();
  if (!clock.measuring) return;
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  if (clock.frequency.QuadPart == 0) {
    ::QueryPerformanceFrequency(&clock.frequency);
    clock.phases.emplace_back(name, win::MsSinceProcessCreated());
  } else {
    clock.phases.emplace_back(
        name, (now.QuadPart - clock.last.QuadPart) * 1000.0 / clock.frequency.QuadPart);
  }
  clock.last = now;
}

bool DumpWithoutSymbolSession() {
  return ::GetEnvironmentVariableW(L"ORLENT_DUMP_WITHOUT_SYMBOL_SESSION", nullptr, 0) != 0;
}

void PrintPhaseTimes() {
  const PhaseClock& clock = Clock();
  if (!clock.measuring || clock.phases.empty()) return;
  std::wstring line = L"phases";
  for (const auto& [name, ms] : clock.phases) {
    wchar_t figure[32];
    std::swprintf(figure, 32, L"=%.2f", ms);
    line += L" ";
    line += name;
    line += figure;
  }
  PrintError(line + L" (ms)");
}

}  // namespace orlent
