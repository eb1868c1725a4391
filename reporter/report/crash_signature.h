// The crash signature: what tells one crash from another across runs, machines and builds, so
// that collectors and the upload's duplicate rule can group reports. It is the first few
// frames of the crashing thread that belong to the host's own code, as "module!function",
// joined with " | ":
//
//   game.exe!LoadLevel | game.exe!main
//
// Frames in Vessick.dll (which built the report), in the C and C++ run-times (their DLLs, and
// the C++ run-time's throw and terminate machinery and the start-up code that a -static host
// carries inside itself)
// and in the system's modules (under the Windows folder) are passed over: they are the same for
// every crash of their kind. Names carry no offsets, addresses or decorations, and their
// spacing is normalised, so that a rebuilt or re-symbolised module gives the same signature;
// a frame without a name is "module!<unknown>".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "process/modules.h"

namespace orlent {

struct CrashReport;

constexpr size_t kSignatureFrames = 3;

struct SignatureFrame {
  const Module* module = nullptr;  // null when the address is in no module
  std::wstring function;           // as the report names it ("LoadLevel+0x12"), or empty
};

// "LoadLevel+0x12" -> "LoadLevel"; "f(int, char const *)" -> "f(int,char const*)";
// "_WinMain@16" style decorations dropped; templates kept.
std::wstring NormalizedFunctionName(std::wstring_view function);

// Vessick.dll, a C or C++ run-time DLL, or a module under `windowsFolder` (lower case, with a
// trailing backslash).
bool IsPassedOverModule(const Module& module, const std::wstring& windowsFolder);

// A function of the C++ run-time's exception machinery (__cxa_throw, std::terminate, ...)
// linked into the module it runs in.
bool IsRuntimeFunction(const std::wstring& normalizedName);

// The signature of `frames` (innermost first), or empty when no frame counts.
std::wstring SignatureOf(const std::vector<SignatureFrame>& frames,
                         const std::wstring& windowsFolder);

// The signature of the report's crashing thread, with this system's Windows folder.
std::wstring CrashSignature(const CrashReport& report);

}  // namespace orlent
