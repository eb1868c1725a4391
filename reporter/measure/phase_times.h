// For measurement only: with ORLENT_PHASE_TIMES set in its environment, orlent.exe prints on
// stderr, as it ends, how long each phase of its work took (bench/crash_to_exit.cpp sums them
// over many crashes). Without the variable nothing is timed and nothing is printed; the report
// is the same either way.
#pragma once

namespace orlent {

constexpr wchar_t kPhaseTimesVariable[] = L"ORLENT_PHASE_TIMES";

// Ends the phase that ran since the previous call (the first phase, "startup", runs from the
// process's creation) and records it under `name`, which must be a literal.
void EndPhase(const wchar_t* name);

// For measurement only: with ORLENT_DUMP_WITHOUT_SYMBOL_SESSION set, the symbol session ends
// before the dump is written, so that dbghelp loads every module's symbols itself as it does
// for a caller without one (what the session saves is then measurable).
bool DumpWithoutSymbolSession();

// One line: "orlent: phases startup=1.2 block=0.1 ... (ms)". Nothing when not measuring.
void PrintPhaseTimes();

}  // namespace orlent
