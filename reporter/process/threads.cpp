#include "process/threads.h"

#include <tlhelp32.h>

#include "process/unwind_walk.h"
#include "win/error_text.h"
#include "win/unique_handle.h"

namespace orlent {
namespace {

// ntdll's thread queries: the TEB (ThreadBasicInformation) and the start routine
// (ThreadQuerySetWin32StartAddress). Not in the SDK's import libraries for user programs.
constexpr ULONG kThreadBasicInformation = 0;
constexpr ULONG kThreadQuerySetWin32StartAddress = 9;

struct ThreadBasicInformation {
  LONG exitStatus;
  void* tebBaseAddress;
  void* uniqueProcess;
  void* uniqueThread;
  ULONG_PTR affinityMask;
  LONG priority;
  LONG basePriority;
};

using NtQueryInformationThreadFn = LONG(NTAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
using GetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);

template <typename Fn>
Fn Lookup(const wchar_t* module, const char* name) {
  HMODULE loaded = ::GetModuleHandleW(module);
  return loaded == nullptr
             ? nullptr
             : reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(loaded, name)));
}

struct LocalMemoryTraits {
  using Handle = HLOCAL;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::LocalFree(h); }
};

// Resumes a suspended thread on every way out, so that the host never stays frozen.
class Suspension {
 public:
  explicit Suspension(HANDLE thread)
      : thread_(thread), suspended_(::SuspendThread(thread) != static_cast<DWORD>(-1)) {}
  ~Suspension() {
    if (suspended_) ::ResumeThread(thread_);
  }
  Suspension(const Suspension&) = delete;
  Suspension& operator=(const Suspension&) = delete;
  bool suspended() const { return suspended_; }

 private:
  HANDLE thread_;
  bool suspended_;
};

void ReadThread(DWORD id, const DebugSymbols& symbols, const RemoteMemory& memory,
                const ModuleList& modules, ThreadSummary* summary) {
  summary->id = id;
  win::UniqueKernelHandle thread(::OpenThread(
      THREAD_GET_CONTEXT | THREAD_SUSPEND_RESUME | THREAD_QUERY_INFORMATION, FALSE, id));
  if (!thread) {
    summary->problem = win::CallFailed(L"OpenThread");
    return;
  }
  summary->name = ThreadName(thread.get());
  static const auto query =
      Lookup<NtQueryInformationThreadFn>(L"ntdll.dll", "NtQueryInformationThread");
  if (query != nullptr) {
    ThreadBasicInformation basic = {};
    if (query(thread.get(), kThreadBasicInformation, &basic, sizeof basic, nullptr) >= 0)
      summary->teb = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(basic.tebBaseAddress));
    void* start = nullptr;
    if (query(thread.get(), kThreadQuerySetWin32StartAddress, &start, sizeof start, nullptr) >= 0)
      summary->startAddress = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(start));
  }

  const Suspension suspension(thread.get());
  if (!suspension.suspended()) {
    summary->problem = win::CallFailed(L"SuspendThread");
    return;
  }
  CONTEXT context = {};
  context.ContextFlags = CONTEXT_FULL;
  if (!::GetThreadContext(thread.get(), &context)) {
    summary->problem = win::CallFailed(L"GetThreadContext");
    return;
  }
  uint32_t low = 0, high = 0;
  NT_TIB tib = {};
  if (summary->teb != 0 && memory.ReadValue(summary->teb, &tib)) {
    low = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(tib.StackLimit));
    high = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(tib.StackBase));
  }
  summary->trace = WalkThreadStack(symbols, memory, modules, thread.get(), context, low, high,
                                   OtherThreadLimits());
  summary->walked = true;
}

}  // namespace

StackWalkLimits OtherThreadLimits() {
  StackWalkLimits limits;
  limits.keepInnermost = 24;
  limits.keepOutermost = 8;
  limits.maxFrames = 2000;
  return limits;
}

std::wstring ThreadName(HANDLE thread) {
  static const auto describe = [] {
    auto found = Lookup<GetThreadDescriptionFn>(L"kernel32.dll", "GetThreadDescription");
    return found != nullptr
               ? found
               : Lookup<GetThreadDescriptionFn>(L"kernelbase.dll", "GetThreadDescription");
  }();
  if (describe == nullptr) return {};
  PWSTR text = nullptr;
  if (FAILED(describe(thread, &text)) || text == nullptr) return {};
  const win::UniqueHandle<LocalMemoryTraits> owned(text);
  return std::wstring(text, wcsnlen(text, 256));
}

std::vector<ThreadSummary> ReadOtherThreads(DWORD processId, DWORD crashThreadId,
                                            const DebugSymbols& symbols,
                                            const RemoteMemory& memory,
                                            const ModuleList& modules) {
  std::vector<ThreadSummary> threads;
  win::UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return threads;
  std::vector<DWORD> ids;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Thread32First(snapshot.get(), &entry); more;
       more = ::Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == processId && entry.th32ThreadID != crashThreadId)
      ids.push_back(entry.th32ThreadID);
  }
  for (DWORD id : ids) {
    ThreadSummary summary;
    ReadThread(id, symbols, memory, modules, &summary);
    threads.push_back(std::move(summary));
  }
  return threads;
}

}  // namespace orlent
