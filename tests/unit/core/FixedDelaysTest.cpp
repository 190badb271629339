#include "core/FixedDelays.h"

#include <gtest/gtest.h>

namespace {

class FixedDelaysTest : public ::testing::Test {
protected:
    void SetUp() override { m_before = FixedDelays::Scale(); }
    void TearDown() override { FixedDelays::SetScale(m_before); }
    double m_before = 1.0;
};

TEST_F(FixedDelaysTest, EveryDelayHasItsNominalValueAndName) {
    ASSERT_TRUE(FixedDelays::SetScale(1.0));
    EXPECT_EQ(FixedDelays::Ms(FixedDelay::kRetryStep), 5000u);
    EXPECT_EQ(FixedDelays::Ms(FixedDelay::kNetworkRecheck), 10000u);
    EXPECT_EQ(FixedDelays::Ms(FixedDelay::kWalkBatchPause), 150u);
    EXPECT_EQ(FixedDelays::Ms(FixedDelay::kKeepAlive), 4500u);
    EXPECT_EQ(FixedDelays::Ms(FixedDelay::kLockRenewal), 58000u);
    EXPECT_EQ(FixedDelays::Seconds(FixedDelay::kChunkStall), 15);
    for (int i = 0; i < static_cast<int>(FixedDelay::kCount); ++i) {
        const auto delay = static_cast<FixedDelay>(i);
        EXPECT_GT(FixedDelays::NominalMs(delay), 0u);
        EXPECT_STRNE(FixedDelays::Name(delay), "");
    }
}

TEST_F(FixedDelaysTest, TheTestSwitchScalesEveryDelayButNeverToNothing) {
    ASSERT_TRUE(FixedDelays::SetScale(0.01));
    EXPECT_EQ(FixedDelays::Ms(FixedDelay::kRetryStep), 50u);
    EXPECT_EQ(FixedDelays::Ms(FixedDelay::kWalkBatchPause), 2u);
    EXPECT_EQ(FixedDelays::NominalMs(FixedDelay::kRetryStep), 5000u);
    // libcurl counts whole seconds: a scaled stall limit is still one second.
    EXPECT_EQ(FixedDelays::Seconds(FixedDelay::kChunkStall), 1);
    ASSERT_TRUE(FixedDelays::SetScale(0.0001));
    EXPECT_EQ(FixedDelays::Ms(FixedDelay::kWalkBatchPause), 1u);
}

TEST_F(FixedDelaysTest, OnlyFactorsBetweenZeroAndOneAreTaken) {
    double scale = 0;
    EXPECT_TRUE(FixedDelays::ParseScale("0.05", &scale));
    EXPECT_DOUBLE_EQ(scale, 0.05);
    EXPECT_TRUE(FixedDelays::ParseScale("1", &scale));
    for (const char* bad : {"", "0", "-1", "2", "abc", "0.5x", "nan", "inf"}) {
        EXPECT_FALSE(FixedDelays::ParseScale(bad, &scale)) << bad;
    }
    ASSERT_TRUE(FixedDelays::SetScale(0.5));
    EXPECT_FALSE(FixedDelays::SetScale(3.0));
    EXPECT_DOUBLE_EQ(FixedDelays::Scale(), 0.5);
}

}  // namespace
