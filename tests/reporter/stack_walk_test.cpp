#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>

#include "process/modules.h"
#include "process/remote_memory.h"
#include "process/stack_walk.h"

namespace orlent {
namespace {

uint32_t __attribute__((noinline)) ReturnAddressHere() {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

int notCode = 0;

// A stack of our own making, in this process, walked as the reporter walks another's.
class FakeStack : public ::testing::Test {
 protected:
  void SetUp() override {
    region_ = static_cast<uint8_t*>(
        ::VirtualAlloc(nullptr, kSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(region_, nullptr);
    std::wstring error;
    auto modules = ListModules(::GetCurrentProcessId(), &error);
    ASSERT_TRUE(modules) << error;
    modules_ = std::move(*modules);
    returns_[0] = ReturnAddressHere();
    returns_[1] = ReturnAddressHere();
    returns_[2] = ReturnAddressHere();
  }
  void TearDown() override { ::VirtualFree(region_, 0, MEM_RELEASE); }

  uint32_t At(uint32_t offset) const {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(region_)) + offset;
  }
  void Put(uint32_t offset, uint32_t value) { std::memcpy(region_ + offset, &value, 4); }
  StackTrace Walk(uint32_t esp, uint32_t ebp, const StackWalkLimits& limits = {}) {
    CONTEXT context = {};
    context.Eip = returns_[0];
    context.Esp = esp;
    context.Ebp = ebp;
    return WalkStack(memory_, modules_, context, At(0), At(kSize), limits);
  }

  static constexpr uint32_t kSize = 0x10000;
  uint8_t* region_ = nullptr;
  ModuleList modules_;
  RemoteMemory memory_{::GetCurrentProcess()};
  uint32_t returns_[3] = {};
};

TEST_F(FakeStack, FollowsTheFramePointerChainToItsEnd) {
  Put(0x200, At(0x300));
  Put(0x204, returns_[1]);
  Put(0x300, 0);  // the outermost frame
  Put(0x304, returns_[2]);
  Put(0x400, returns_[1]);  // beyond the end of the chain: not a frame
  const StackTrace trace = Walk(At(0x100), At(0x200));
  ASSERT_EQ(trace.frames.size(), 3u);
  EXPECT_EQ(trace.frames[0].address, returns_[0]);
  EXPECT_EQ(trace.frames[0].source, FrameSource::kContext);
  EXPECT_EQ(trace.frames[1].address, returns_[1]);
  EXPECT_EQ(trace.frames[1].slot, At(0x204));
  EXPECT_EQ(trace.frames[2].address, returns_[2]);
  EXPECT_EQ(trace.frames[2].source, FrameSource::kFramePointer);
  EXPECT_EQ(trace.totalFrames, 3u);
  EXPECT_EQ(trace.low, At(0));
  EXPECT_EQ(trace.high, At(kSize));
}

TEST_F(FakeStack, ScansForReturnAddressesWhereTheChainIsBroken) {
  Put(0x140, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&notCode)));  // data, not code
  Put(0x144, 0x7FFE0000);  // no module there
  Put(0x180, returns_[1]);
  const StackTrace trace = Walk(At(0x100), 0x12345678);
  ASSERT_EQ(trace.frames.size(), 2u);
  EXPECT_EQ(trace.frames[1].address, returns_[1]);
  EXPECT_EQ(trace.frames[1].source, FrameSource::kScan);
  EXPECT_EQ(trace.frames[1].slot, At(0x180));
}

TEST_F(FakeStack, AChainThatBreaksAtTheTopIsTheEnd) {
  // Broken near the stack's top: the start routine's arguments above are not frames.
  Put(kSize - 0x100, 0x12345678);
  Put(kSize - 0xFC, returns_[1]);
  Put(kSize - 0xF0, returns_[2]);
  const StackTrace top = Walk(At(kSize - 0x180), At(kSize - 0x100));
  ASSERT_EQ(top.frames.size(), 2u);
  EXPECT_EQ(top.frames[1].address, returns_[1]);
  // Broken lower down: a frame without a frame pointer may follow, and the scan finds it.
  Put(0x200, 0x12345678);
  Put(0x204, returns_[1]);
  Put(0x210, returns_[2]);
  const StackTrace middle = Walk(At(0x100), At(0x200));
  ASSERT_EQ(middle.frames.size(), 3u);
  EXPECT_EQ(middle.frames[2].address, returns_[2]);
  EXPECT_EQ(middle.frames[2].source, FrameSource::kScan);
}

TEST_F(FakeStack, KeepsBothEndsOfADeepStack) {
  // 1000 frames 16 bytes apart, as a runaway recursion leaves them.
  for (uint32_t i = 0; i < 1000; ++i) {
    Put(0x100 + i * 16, i + 1 < 1000 ? At(0x100 + (i + 1) * 16) : 0);
    Put(0x104 + i * 16, returns_[1 + i % 2]);
  }
  StackWalkLimits limits;
  limits.keepInnermost = 10;
  limits.keepOutermost = 5;
  const StackTrace trace = Walk(At(0x80), At(0x100), limits);
  EXPECT_EQ(trace.totalFrames, 1001u);
  ASSERT_EQ(trace.frames.size(), 15u);
  EXPECT_EQ(trace.omittedAfter, 10u);
  EXPECT_EQ(trace.omitted, 986u);
  EXPECT_EQ(trace.frames[9].slot, At(0x104 + 8 * 16));
  EXPECT_EQ(trace.frames[14].slot, At(0x104 + 999 * 16));
}

TEST_F(FakeStack, GarbageRegistersGiveAShortTraceAndNoFault) {
  for (uint32_t esp : {0u, 0xFFFFFFF0u, 0x7FFE0000u, At(kSize - 2)}) {
    for (uint32_t ebp : {0u, 0xFFFFFFFCu, At(0x200), esp}) {
      const StackTrace trace = Walk(esp, ebp);
      ASSERT_GE(trace.frames.size(), 1u);
      EXPECT_LE(trace.frames.size(), 3u);
    }
  }
  // Bounds that do not hold Esp are replaced by 64 KiB above it.
  const StackTrace outside = Walk(At(kSize) + 0x1000, 0);
  EXPECT_EQ(outside.low, At(kSize) + 0x1000);
  EXPECT_EQ(outside.high, At(kSize) + 0x11000);
}

}  // namespace
}  // namespace orlent
