#include <gtest/gtest.h>

#include "core/CProgressMeter.h"

TEST(CProgressMeterTest, SecondSampleGivesTheSpeedOverTheInterval) {
    CProgressMeter meter;
    meter.Reset(10000, 1000000, 0);
    EXPECT_EQ(meter.Update(10100, 1000, 1000), 1);
    EXPECT_EQ(meter.GetCurrentSpeed(), 0u) << "one sample has no speed";
    EXPECT_EQ(meter.Update(10600, 51000, 51000), 1);
    EXPECT_EQ(meter.GetCurrentSpeed(), 100000u);  // 50,000 bytes in 500 ms
}

TEST(CProgressMeterTest, EqualClocksDivideByOneAndZeroElapsedIsSafe) {
    CProgressMeter meter;
    meter.Reset(5000, 100, 0);
    meter.Update(5000, 10, 10);
    meter.Update(5000, 30, 30);
    EXPECT_EQ(meter.GetCurrentSpeed(), 20000u);  // 20 bytes over a divisor of 1 ms
    EXPECT_EQ(meter.GetTimeElapsed(), 0u);
    EXPECT_EQ(meter.GetAverageSpeed(), 30000);  // 30 * 1000 / 1
    EXPECT_EQ(meter.GetTimeLeft(), 70 / 30);
}

TEST(CProgressMeterTest, SlowRateCountsAsOneBytePerMillisecond) {
    CProgressMeter meter;
    meter.Reset(0, 10000, 0);
    meter.Update(5000, 100, 100);  // 0.02 bytes per ms
    EXPECT_EQ(meter.GetTimeLeft(), 9900);
}

TEST(CProgressMeterTest, TickOnlyAfterStrictlyMoreThanThePeriod) {
    CProgressMeter meter;
    meter.Reset(1000, 100, 0);
    meter.Update(2200, 1, 1);
    EXPECT_FALSE(meter.IsTick()) << "exactly 1200 ms is not enough";
    meter.Update(2201, 2, 2);
    EXPECT_TRUE(meter.IsTick());
    meter.Update(2300, 3, 3);
    EXPECT_FALSE(meter.IsTick());
}

TEST(CProgressMeterTest, FullHistoryDropsCloseSamplesButKeepsThePosition) {
    CProgressMeter meter;
    meter.Reset(0, 1 << 30, 0);
    uint64_t now = 0;
    for (int i = 1; i <= 26; ++i) {
        now += 10;
        EXPECT_EQ(meter.Update(now, i * 1000, i * 1000), 1) << "sample " << i;
    }
    now += 10;
    EXPECT_EQ(meter.Update(now, 99999, 99999), 0) << "10 ms after the previous sample";
    EXPECT_EQ(meter.GetCurrentBytes(), 99999);
    EXPECT_EQ(meter.GetTimeElapsed(), now);
    now += 2000;
    EXPECT_EQ(meter.Update(now, 200000, 200000), 1);
    // Reference is the oldest sample still held: sample 3 (3,000 bytes at 30 ms).
    EXPECT_EQ(meter.GetCurrentSpeed(), static_cast<uint32_t>((200000 - 3000) * 1000 / (now - 30)));
}
