// A thread that overflowed its stack cannot run the report where it is: the handler moves it
// onto a fresh 64 KiB stack first, records the thread's own bounds for the reporter, and makes
// the thread's environment block describe the new stack while the report runs.
#include "stack_overflow.h"

#include <windows.h>

#include "protocol/bug_info_block.h"
#include "handler_bodies.h"
#include "install_handlers.h"
#include "library_state.h"
#include "report_guard.h"
#include "thread_environment.h"
#include "system_function.h"

namespace vessick {
namespace {

constexpr SIZE_T kOverflowStackSize = 0x10000;
void* volatile reservedOverflowStack = nullptr;
void* volatile registration = nullptr;

}  // namespace

// Calls filter(argument) with the stack pointer at stackTop, then comes back to the old stack.
extern "C" LONG __cdecl CallFilterOnStack(PTOP_LEVEL_EXCEPTION_FILTER filter,
                                          EXCEPTION_POINTERS* argument, void* stackTop);
asm(R"(
    .text
    .globl _CallFilterOnStack
    .def _CallFilterOnStack; .scl 2; .type 32; .endef
_CallFilterOnStack:
    pushl %ebp
    movl  %esp, %ebp
    movl  8(%ebp), %eax
    movl  12(%ebp), %ecx
    movl  16(%ebp), %esp
    pushl %ecx
    call  *%eax
    movl  %ebp, %esp
    popl  %ebp
    ret
)");

void RegisterStackOverflowHandlerOnce() noexcept {
  if (registration != nullptr) return;
  using AddFn = PVOID(WINAPI*)(ULONG, PVECTORED_EXCEPTION_HANDLER);
  if (auto add = SystemFunction<AddFn>(L"kernel32", "AddVectoredExceptionHandler"))
    registration = add(0, &StackOverflowHandler);  // last in the list
}

void UnregisterStackOverflowHandler() noexcept {
  void* handle = ::InterlockedExchangePointer(&registration, nullptr);
  if (handle == nullptr) return;
  using RemoveFn = ULONG(WINAPI*)(PVOID);
  if (auto remove = SystemFunction<RemoveFn>(L"kernel32", "RemoveVectoredExceptionHandler"))
    remove(handle);
}

void ReleaseOverflowStack() noexcept {
  void* stack = ::InterlockedExchangePointer(&reservedOverflowStack, nullptr);
  if (stack != nullptr) ::VirtualFree(stack, 0, MEM_RELEASE);
}

void ReserveOverflowStack() noexcept {
  if (reservedOverflowStack != nullptr) return;
  reservedOverflowStack =
      ::VirtualAlloc(nullptr, kOverflowStackSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

// Runs on what is left of the overflowed stack: few locals, two system calls before the move.
LONG CALLBACK StackOverflowHandler(EXCEPTION_POINTERS* pointers) {
  ReassertUnhandledFilter();
  if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW) return 0;
  BugInfoBlock* block = CurrentBlock();
  if (block == nullptr) return EXCEPTION_CONTINUE_SEARCH;
  if (!ClaimReport()) return LateEntry();

  auto* stack = static_cast<uint8_t*>(::VirtualAllocEx(::GetCurrentProcess(), nullptr,
                                                       kOverflowStackSize, MEM_COMMIT,
                                                       PAGE_READWRITE));
  if (stack == nullptr) stack = static_cast<uint8_t*>(reservedOverflowStack);
  if (stack == nullptr) {
    // Nowhere to move to: report on what is left of this stack.
    MarkClaimHandedToLauncher();
    return ReassertFilter(pointers);
  }

  NT_TIB* tib = CurrentThreadTib();
  void* const ownLimit = tib->StackLimit;
  void* const ownBase = tib->StackBase;
  block->savedStackLimit = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ownLimit));
  block->savedStackBase = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ownBase));
  tib->StackLimit = stack;
  tib->StackBase = stack + kOverflowStackSize;

  MarkClaimHandedToLauncher();
  const LONG verdict = CallFilterOnStack(&ReassertFilter, pointers, stack + kOverflowStackSize);

  tib->StackLimit = ownLimit;
  tib->StackBase = ownBase;
  return verdict;
}

}  // namespace vessick
