// The texts of a running transfer row, as the transfer manager shows them in English.
#include <gtest/gtest.h>

#include "core/Options.h"
#include "ui/TransferProgressText.h"

namespace {

class TransferProgressTextTest : public testing::Test {
protected:
    void SetUp() override { COptions::GetInstance().m_uiLanguage = 1033; }
};

TEST_F(TransferProgressTextTest, TimeLeftInHoursMinutesAndSeconds) {
    EXPECT_EQ(TransferProgressText::TimeLeft(45'000), "45S");
    EXPECT_EQ(TransferProgressText::TimeLeft(60'000), "60S");
    EXPECT_EQ(TransferProgressText::TimeLeft(1'023'000), "17M3S");
    EXPECT_EQ(TransferProgressText::TimeLeft(3'600'000), "60M");
    EXPECT_EQ(TransferProgressText::TimeLeft(3'660'000), "1H1M");
    EXPECT_EQ(TransferProgressText::TimeLeft(3'661'000), "1H1M1S");
    EXPECT_EQ(TransferProgressText::TimeLeft(3'630'000), "1H30S");
}

TEST_F(TransferProgressTextTest, SizesSpeedsAndTheWholeLine) {
    EXPECT_EQ(TransferProgressText::Size(1024 * 1024, "/"), "1024KB/");
    EXPECT_EQ(TransferProgressText::Size(int64_t{12760} * 1024, "/"), "12.76MB/");
    EXPECT_EQ(TransferProgressText::Size(int64_t{102400} * 1024, "("), "100.40MB(");
    EXPECT_EQ(TransferProgressText::Size(int64_t{3} << 30, ""), "3.72GB") << "sizes past 2 GiB";
    EXPECT_EQ(TransferProgressText::Speed(0), "0B/S)");
    EXPECT_EQ(TransferProgressText::Speed(512), "512Byte/S)");
    EXPECT_EQ(TransferProgressText::Speed(20 * 1024 + 5), "20KB/S)");
    EXPECT_EQ(TransferProgressText::Speed(2 * 1024 * 1024), "2MB/S)");
    EXPECT_EQ(TransferProgressText::ProgressLine(int64_t{12760} * 1024, int64_t{102400} * 1024,
                                                 1'023'000, 0),
              "Time Left:17M3S   12.76MB/100.40MB(0B/S)");
    EXPECT_EQ(TransferProgressText::ProgressLine(5000, 0, 0, 0), "N/A - 5000 of N/A");
    EXPECT_EQ(TransferProgressText::Percent(50, 200), 25);
    EXPECT_EQ(TransferProgressText::Percent(int64_t{3} << 31, int64_t{4} << 31), 75);
    EXPECT_EQ(TransferProgressText::Percent(5, 0), -1) << "the bar does not move";
}

}  // namespace
