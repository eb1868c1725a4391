/* game_host MODE REPORTER_DIR FACTS_FILE
 * A small C host as a game team writes one: it starts crash reporting through Vessick.dll,
 * writes what its report must agree with to FACTS_FILE, and fails in the named way. The tests
 * build it as teams ship it (optimised, no frame pointers; stripped) and as they debug it
 * (-O0 -g), so that the report is checked in each.
 *   null         LoadLevel dereferences a null level, called from main
 *   divide       integer division by zero in ScoreRatio, called from main
 *   thread       the same null dereference on a second thread, in its thread function
 *   worker       main crashes while a named worker thread waits in WorkerLoop
 *   abort        abort() from main
 *   overflow     runaway recursion through 8 KB frames
 *   epilogue     UploadTexture faults right after its `pop %ebp`, called by StreamLevel from
 *                main: the frame pointer then already names StreamLevel's caller */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vessick.h"

struct Level {
  int tiles[64];
  int loaded;
};

static FILE* facts;
static volatile int zero = 0;
static struct Level* volatile missingLevel = NULL;
static volatile LONG workerReady = 0;

static void Fact(const char* key, unsigned long value) {
  fprintf(facts, "%s=%lx\n", key, value);
}

/* The faulting statement: its line is what the -g build must report. */
__attribute__((noinline)) void LoadLevel(struct Level* level) {
  level->loaded = 1; /* FAULT_LINE */
}

/* A routine whose epilogue has restored the caller's frame pointer when it faults: only its
 * call frame information still says where its return address is. */
void UploadTexture(void);
__asm__(".text\n"
        ".globl _UploadTexture\n"
        "_UploadTexture:\n"
        "  .cfi_startproc\n"
        "  pushl %ebp\n"
        "  .cfi_def_cfa_offset 8\n"
        "  .cfi_offset %ebp, -8\n"
        "  movl %esp, %ebp\n"
        "  .cfi_def_cfa_register %ebp\n"
        "  popl %ebp\n"
        "  .cfi_def_cfa %esp, 4\n"
        "  movl $0, 0\n"
        "  ret\n"
        "  .cfi_endproc\n");

__attribute__((noinline)) void StreamLevel(void) {
  UploadTexture();
  zero = 0; /* keeps the call a call, not a tail jump */
}

__attribute__((noinline)) int ScoreRatio(int score, int rounds) { return score / rounds; }

#pragma GCC diagnostic ignored "-Winfinite-recursion"
__attribute__((noinline)) int Descend(int depth) {
  volatile char frame[8192];
  frame[0] = (char)depth;
  frame[8191] = (char)depth;
  return Descend(depth + 1) + frame[0] + frame[8191];
}

__attribute__((noinline)) DWORD WINAPI CrashingThread(void* unused) {
  (void)unused;
  LoadLevel(missingLevel);
  return 1;
}

__attribute__((noinline)) DWORD WINAPI WorkerLoop(void* unused) {
  (void)unused;
  InterlockedExchange(&workerReady, 1);
  for (;;) Sleep(1000);
  return 0;
}

typedef HRESULT(WINAPI* SetThreadDescriptionFn)(HANDLE, PCWSTR);

/* Names the thread where the system can (Windows 10 1607 and later, recent Wine). */
static void NameThread(HANDLE thread, const wchar_t* name) {
  FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription");
  if (found == NULL) found = GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "SetThreadDescription");
  if (found != NULL) ((SetThreadDescriptionFn)(void*)found)(thread, name);
}

static unsigned long TimeDateStampOfSelf(void) {
  const unsigned char* base = (const unsigned char*)GetModuleHandleW(NULL);
  const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)base;
  const IMAGE_NT_HEADERS32* nt = (const IMAGE_NT_HEADERS32*)(base + dos->e_lfanew);
  return nt->FileHeader.TimeDateStamp;
}

int main(int argc, char** argv) {
  HANDLE thread;
  if (argc != 4 || (facts = fopen(argv[3], "w")) == NULL) {
    fputs("usage: game_host MODE REPORTER_DIR FACTS_FILE\n", stderr);
    return 2;
  }
  InitOrlent("GameHost", "0.9.1", "test", "", 0, 9, 1, argv[2]);
  Fact("main_thread", GetCurrentThreadId());
  Fact("image_base", (unsigned long)(uintptr_t)GetModuleHandleW(NULL));
  Fact("time_date_stamp", TimeDateStampOfSelf());
  Fact("LoadLevel", (unsigned long)(uintptr_t)&LoadLevel);
  Fact("main", (unsigned long)(uintptr_t)&main);

  if (strcmp(argv[1], "worker") == 0) {
    thread = CreateThread(NULL, 0, WorkerLoop, NULL, 0, NULL);
    NameThread(thread, L"level streamer");
    Fact("worker_thread", GetThreadId(thread));
    while (workerReady == 0) Sleep(1);
  }
  fclose(facts);

  if (strcmp(argv[1], "null") == 0 || strcmp(argv[1], "worker") == 0) {
    LoadLevel(missingLevel);
  } else if (strcmp(argv[1], "divide") == 0) {
    printf("%d\n", ScoreRatio(10, zero));
  } else if (strcmp(argv[1], "thread") == 0) {
    thread = CreateThread(NULL, 0, CrashingThread, NULL, 0, NULL);
    WaitForSingleObject(thread, INFINITE);
  } else if (strcmp(argv[1], "abort") == 0) {
    abort();
  } else if (strcmp(argv[1], "epilogue") == 0) {
    StreamLevel();
  } else if (strcmp(argv[1], "overflow") == 0) {
    printf("%d\n", Descend(0));
  }
  /* Work after the failure keeps each call above a real call, not a jump. */
  puts("the failure came back");
  return 1;
}
