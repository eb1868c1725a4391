#include <gtest/gtest.h>

#include "quennet_callback.h"

namespace {

TEST(AverageBytesPerSecond, BytesOverTheTimeUntilTheDownloadEnded) {
  EXPECT_EQ(AverageBytesPerSecond(3000000, 1000, 4000), 1000000u);
  EXPECT_EQ(AverageBytesPerSecond(1000, 1000, 4000), 333u);  // truncated
}

TEST(AverageBytesPerSecond, TickCounterWrapsBetweenStartAndEnd) {
  EXPECT_EQ(AverageBytesPerSecond(2000, 0xFFFFFC18u, 1000), 1000u);  // 2000 ms across the wrap
}

TEST(AverageBytesPerSecond, DegenerateSpansGiveFiguresNotFaults) {
  // Ended within the tick resolution: counted as 1 ms.
  EXPECT_EQ(AverageBytesPerSecond(5000, 7000, 7000), 5000000u);
  // Never reached its total: there is no download time to divide by.
  EXPECT_EQ(AverageBytesPerSecond(5000, 7000, 0), 0u);
  EXPECT_EQ(AverageBytesPerSecond(0, 7000, 7000), 0u);
}

}  // namespace
