#include "format_speed.h"

#include <gtest/gtest.h>

namespace {

TEST(FormatSpeed, EachUnitStartsAtItsPowerOfTwo) {
  EXPECT_EQ(FormatSpeed(0), L"0B/S");
  EXPECT_EQ(FormatSpeed(1023), L"1023B/S");
  EXPECT_EQ(FormatSpeed(1024), L"1KB/S");
  EXPECT_EQ(FormatSpeed(2047), L"1KB/S");  // truncated, not rounded
  EXPECT_EQ(FormatSpeed(1048575), L"1023KB/S");
  EXPECT_EQ(FormatSpeed(1048576), L"1.0MB/S");
}

TEST(FormatSpeed, MegabytesKeepOneDecimalAndNeverOverflow) {
  EXPECT_EQ(FormatSpeed(1572864), L"1.5MB/S");
  EXPECT_EQ(FormatSpeed(1048576ULL * 1000), L"1000.0MB/S");
  // The largest figure still fits the 64-unit buffer.
  EXPECT_EQ(FormatSpeed(UINT64_MAX), L"17592186044416.0MB/S");
}

}  // namespace
