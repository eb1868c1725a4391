// The bug-info block: the one record through which a crashed host hands its fault to the
// reporter. The reporter reads it out of the crashed process by address, so the layout is a
// cross-process format fixed to the byte (32-bit x86, little-endian, UTF-16LE text).
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace vessick {

constexpr uint32_t kBugInfoHeaderSize = 1528;
constexpr int kBugInfoStringCount = 5;  // text1, text2, text3, text4, hostPath
constexpr int kHostPathCapacity = 260;  // units, terminator included

struct BugInfoBlock {
  uint32_t totalSize;        // header plus string area
  uint32_t reserved;         // always 0
  uint32_t savedStackBase;   // the overflowed thread's own stack, set on stack overflow only
  uint32_t savedStackLimit;
  uint32_t processId;
  uint32_t initThreadId;
  uint32_t crashThreadId;
  uint32_t uin;
  uint32_t crashThreadTeb;
  uint32_t extraValue;
  uint32_t processPeb;
  uint32_t codeValue;
  EXCEPTION_RECORD exceptionRecord;  // byte copies of what the reported pair points at
  CONTEXT context;
  uint32_t exceptionPointers;  // the reported pair's address in the crashed process
  wchar_t codeModulePath[260];  // never written: all zero
  uint32_t codeOffset;          // 1 in every block
  wchar_t uinText[60];          // never written: all zero
  uint32_t stringOffsets[kBugInfoStringCount];
  uint16_t number1;
  uint16_t number2;
  uint32_t number3;
  uint8_t flag1;
  uint8_t flag2;
  uint8_t unused[2];  // always 0
  uint32_t reportArgument;
  // The string area follows: five NUL-terminated UTF-16 strings back to back.
};

static_assert(sizeof(EXCEPTION_RECORD) == 80, "x86 EXCEPTION_RECORD");
static_assert(sizeof(CONTEXT) == 716, "x86 CONTEXT");
static_assert(sizeof(BugInfoBlock) == kBugInfoHeaderSize, "header size");
static_assert(offsetof(BugInfoBlock, totalSize) == 0);
static_assert(offsetof(BugInfoBlock, reserved) == 4);
static_assert(offsetof(BugInfoBlock, savedStackBase) == 8);
static_assert(offsetof(BugInfoBlock, savedStackLimit) == 12);
static_assert(offsetof(BugInfoBlock, processId) == 16);
static_assert(offsetof(BugInfoBlock, initThreadId) == 20);
static_assert(offsetof(BugInfoBlock, crashThreadId) == 24);
static_assert(offsetof(BugInfoBlock, uin) == 28);
static_assert(offsetof(BugInfoBlock, crashThreadTeb) == 32);
static_assert(offsetof(BugInfoBlock, extraValue) == 36);
static_assert(offsetof(BugInfoBlock, processPeb) == 40);
static_assert(offsetof(BugInfoBlock, codeValue) == 44);
static_assert(offsetof(BugInfoBlock, exceptionRecord) == 48);
static_assert(offsetof(BugInfoBlock, context) == 128);
static_assert(offsetof(BugInfoBlock, exceptionPointers) == 844);
static_assert(offsetof(BugInfoBlock, codeModulePath) == 848);
static_assert(offsetof(BugInfoBlock, codeOffset) == 1368);
static_assert(offsetof(BugInfoBlock, uinText) == 1372);
static_assert(offsetof(BugInfoBlock, stringOffsets) == 1492);
static_assert(offsetof(BugInfoBlock, number1) == 1512);
static_assert(offsetof(BugInfoBlock, number2) == 1514);
static_assert(offsetof(BugInfoBlock, number3) == 1516);
static_assert(offsetof(BugInfoBlock, flag1) == 1520);
static_assert(offsetof(BugInfoBlock, flag2) == 1521);
static_assert(offsetof(BugInfoBlock, unused) == 1522);
static_assert(offsetof(BugInfoBlock, reportArgument) == 1524);

}  // namespace vessick
