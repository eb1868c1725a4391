#include "standby_reporter.h"

#include <atomic>
#include <memory>
#include <new>
#include <utility>

#include "crash_path_limits.h"
#include "protocol/crash_exit_code.h"
#include "protocol/standby_line.h"
#include "win/unique_handle.h"

namespace vessick {

volatile bool standbyAllowed = true;
volatile DWORD standbyReadyLimitMs = kDefaultStandbyReadyLimitMs;

namespace {

// What the host keeps of its standby. Lives in storage that no destructor touches: a fault
// during process exit, after static destructors ran, must still find it.
struct Standby {
  win::UniqueKernelHandle crash;
  win::UniqueKernelHandle quit;
  win::UniqueKernelHandle ready;
  win::UniqueKernelHandle done;
  win::UniqueKernelHandle process;
};

alignas(Standby) unsigned char standbyStorage[sizeof(Standby)];
std::atomic<Standby*> standby{nullptr};
static_assert(std::atomic<Standby*>::is_always_lock_free,
              "the crash path reads the standby without a lock");

// Read by the standby out of this process after the crash event; written only by the crash
// path, which one thread at a time enters.
StandbyMailbox mailbox;

// The standby must not wait past the unloading of the DLL whose mailbox it would read.
constexpr DWORD kQuitWaitMs = 5000;

struct AttributeListFree {
  void operator()(LPPROC_THREAD_ATTRIBUTE_LIST list) const {
    ::DeleteProcThreadAttributeList(list);
    ::HeapFree(::GetProcessHeap(), 0, list);
  }
};
using AttributeList = std::unique_ptr<std::remove_pointer_t<LPPROC_THREAD_ATTRIBUTE_LIST>,
                                      AttributeListFree>;

// An attribute list that lets the child inherit exactly `handles`, whatever else of the host's
// is inheritable.
AttributeList InheritOnly(HANDLE* handles, size_t count) {
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  auto* list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(
      ::HeapAlloc(::GetProcessHeap(), 0, size));
  if (list == nullptr) return nullptr;
  if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) {
    ::HeapFree(::GetProcessHeap(), 0, list);
    return nullptr;
  }
  AttributeList owned(list);
  if (!::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                   count * sizeof(HANDLE), nullptr, nullptr))
    return nullptr;
  return owned;
}

win::UniqueKernelHandle InheritableEvent() {
  SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return win::UniqueKernelHandle(::CreateEventW(&inheritable, TRUE, FALSE, nullptr));
}

uint32_t HandleValue(HANDLE handle) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}

bool HasEnded(HANDLE process) { return ::WaitForSingleObject(process, 0) != WAIT_TIMEOUT; }

}  // namespace

void StartStandbyOnce(const wchar_t* reporterPath) noexcept {
  if (!standbyAllowed || reporterPath[0] == L'\0' || standby.load(std::memory_order_acquire))
    return;
  win::UniqueKernelHandle crash = InheritableEvent(), quit = InheritableEvent(),
                          ready = InheritableEvent(), done = InheritableEvent();
  HANDLE self = ::GetCurrentProcess();
  HANDLE duplicate = nullptr;
  if (!::DuplicateHandle(self, self, self, &duplicate, 0, TRUE, DUPLICATE_SAME_ACCESS)) return;
  // The standby holds its own copy; ours is not needed once it has started.
  const win::UniqueKernelHandle selfForStandby(duplicate);
  if (!crash || !quit || !ready || !done) return;

  StandbyArguments arguments;
  arguments.crash = crash.get();
  arguments.quit = quit.get();
  arguments.ready = ready.get();
  arguments.done = done.get();
  arguments.process = selfForStandby.get();
  arguments.mailboxAddress = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&mailbox));
  arguments.processId = ::GetCurrentProcessId();
  wchar_t line[kStandbyLineCapacity];
  FormatStandbyLine(line, arguments);

  HANDLE inherited[] = {crash.get(), quit.get(), ready.get(), done.get(), selfForStandby.get()};
  const AttributeList attributes = InheritOnly(inherited, std::size(inherited));
  if (!attributes) return;
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof startup;
  // No standard handles: the standby takes the host's at the fault (see the mailbox).
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.lpAttributeList = attributes.get();
  PROCESS_INFORMATION started = {};
  if (!::CreateProcessW(reporterPath, line, nullptr, nullptr, TRUE, EXTENDED_STARTUPINFO_PRESENT,
                        nullptr, nullptr, &startup.StartupInfo, &started))
    return;
  const win::UniqueKernelHandle thread(started.hThread);
  win::UniqueKernelHandle process(started.hProcess);
  // Children the host starts later with inheritance on must not get the standby's events.
  for (HANDLE event : {crash.get(), quit.get(), ready.get(), done.get()})
    ::SetHandleInformation(event, HANDLE_FLAG_INHERIT, 0);

  auto* kept = new (standbyStorage)
      Standby{std::move(crash), std::move(quit), std::move(ready), std::move(done),
              std::move(process)};
  standby.store(kept, std::memory_order_release);
}

bool ReportThroughStandby(const BugInfoBlock* block) noexcept {
  Standby* current = standby.load(std::memory_order_acquire);
  if (current == nullptr || HasEnded(current->process.get())) return false;

  mailbox.blockAddress = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block));
  mailbox.stdInput = HandleValue(::GetStdHandle(STD_INPUT_HANDLE));
  mailbox.stdOutput = HandleValue(::GetStdHandle(STD_OUTPUT_HANDLE));
  mailbox.stdError = HandleValue(::GetStdHandle(STD_ERROR_HANDLE));
  ::MemoryBarrier();
  if (!::SetEvent(current->crash.get())) return false;

  // A standby still starting (the fault came right after InitOrlent) gets a little time; an
  // orlent.exe without standby support has ended by now, having rejected its command line.
  const HANDLE readyOrEnded[] = {current->ready.get(), current->process.get()};
  if (::WaitForMultipleObjects(2, readyOrEnded, FALSE, standbyReadyLimitMs) != WAIT_OBJECT_0) {
    // Silent but alive: it must not report beside the reporter started in its place.
    ::TerminateProcess(current->process.get(), kCrashExitCode);
    return false;
  }
  const HANDLE doneOrEnded[] = {current->done.get(), current->process.get()};
  const DWORD woken = ::WaitForMultipleObjects(2, doneOrEnded, FALSE, reportTimeLimitMs);
  if (woken == WAIT_OBJECT_0 + 1 && ::WaitForSingleObject(current->done.get(), 0) != WAIT_OBJECT_0)
    return false;  // it died before the report was done: one more try with a fresh reporter
  return true;
}

void EndStandby() noexcept {
  Standby* current = standby.exchange(nullptr, std::memory_order_acq_rel);
  if (current == nullptr) return;
  ::SetEvent(current->quit.get());
  ::WaitForSingleObject(current->process.get(), kQuitWaitMs);
  current->~Standby();
}

HANDLE StandbyProcess() noexcept {
  Standby* current = standby.load(std::memory_order_acquire);
  return current != nullptr ? current->process.get() : nullptr;
}

}  // namespace vessick
