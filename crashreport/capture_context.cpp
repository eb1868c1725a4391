#include "capture_context.h"

#include <cstring>

namespace vessick {
namespace {

// What the entry stub saves before anything can change it.
struct RawRegisters {
  DWORD eax, ecx, edx, ebx, esi, edi;
  DWORD segSs, segCs, segDs, segEs, segFs, segGs;
  DWORD eflags;
  DWORD returnAddress;   // the instruction after the call in the caller
  DWORD returnSlot;      // where that return address is stored
  DWORD callerFrame;     // the caller's frame pointer, as saved by our prologue
};

struct SynthesizedException {
  EXCEPTION_RECORD record;
  CONTEXT context;
  EXCEPTION_POINTERS pointers;
};

// Several threads may fail at once; each gets its own pair, and all but one of them park.
constexpr LONG kReservedPairs = 8;
SynthesizedException reservedPairs[kReservedPairs];
volatile LONG reservedPairsUsed = 0;

SynthesizedException* TakePairStorage() noexcept {
  const LONG index = ::InterlockedIncrement(&reservedPairsUsed) - 1;
  if (index < kReservedPairs) return &reservedPairs[index];
  return static_cast<SynthesizedException*>(
      ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(SynthesizedException)));
}

}  // namespace

extern "C" void __cdecl FinishCapture(const RawRegisters* raw, DWORD code,
                                      EXCEPTION_POINTERS** pointers) {
  SynthesizedException* pair = TakePairStorage();
  if (pair == nullptr) {
    *pointers = nullptr;
    return;
  }
  std::memset(pair, 0, sizeof *pair);

  CONTEXT& context = pair->context;
  context.ContextFlags = CONTEXT_i386 | 0x1;  // 0x00010001, although more is filled in
  context.Eax = raw->eax;
  context.Ecx = raw->ecx;
  context.Edx = raw->edx;
  context.Ebx = raw->ebx;
  context.Esi = raw->esi;
  context.Edi = raw->edi;
  context.SegSs = raw->segSs;
  context.SegCs = raw->segCs;
  context.SegDs = raw->segDs;
  context.SegEs = raw->segEs;
  context.SegFs = raw->segFs;
  context.SegGs = raw->segGs;
  context.EFlags = raw->eflags;
  context.Eip = raw->returnAddress;
  context.Esp = raw->returnSlot;
  context.Ebp = raw->callerFrame;

  EXCEPTION_RECORD& record = pair->record;
  record.ExceptionCode = code;
  record.ExceptionAddress = reinterpret_cast<void*>(raw->returnAddress);

  *pointers = &pair->pointers;
  pair->pointers.ExceptionRecord = &pair->record;
  pair->pointers.ContextRecord = &pair->context;
}

// The entry keeps a standard frame and saves the registers before any compiled code can touch
// them; the rest is ordinary C++ in FinishCapture. The flags go first: push and mov leave them
// alone, but the sub that makes room (and every xor after it) would not.
static_assert(sizeof(RawRegisters) == 64);
asm(R"(
    .text
    .globl _CaptureCurrentContext
    .def _CaptureCurrentContext; .scl 2; .type 32; .endef
_CaptureCurrentContext:
    pushl %ebp
    movl  %esp, %ebp
    pushfl
    subl  $64, %esp
    movl  %eax, 0(%esp)
    movl  %ecx, 4(%esp)
    movl  %edx, 8(%esp)
    movl  %ebx, 12(%esp)
    movl  %esi, 16(%esp)
    movl  %edi, 20(%esp)
    xorl  %eax, %eax
    movw  %ss, %ax
    movl  %eax, 24(%esp)
    movw  %cs, %ax
    movl  %eax, 28(%esp)
    movw  %ds, %ax
    movl  %eax, 32(%esp)
    movw  %es, %ax
    movl  %eax, 36(%esp)
    movw  %fs, %ax
    movl  %eax, 40(%esp)
    movw  %gs, %ax
    movl  %eax, 44(%esp)
    movl  -4(%ebp), %eax
    movl  %eax, 48(%esp)
    movl  4(%ebp), %eax
    movl  %eax, 52(%esp)
    leal  4(%ebp), %eax
    movl  %eax, 56(%esp)
    movl  0(%ebp), %eax
    movl  %eax, 60(%esp)
    movl  %esp, %eax
    pushl 12(%ebp)
    pushl 8(%ebp)
    pushl %eax
    call  _FinishCapture
    movl  %ebp, %esp
    popl  %ebp
    ret
)");

}  // namespace vessick
