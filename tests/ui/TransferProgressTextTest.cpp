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
    EXPECT_EQ(TransferProgressText::Size(int64_t{102400} * 1024, "("), "100MB(");
    EXPECT_EQ(TransferProgressText::Size(int64_t{3} << 30, ""), "3GB") << "sizes past 2 GiB";
    EXPECT_EQ(TransferProgressText::Speed(0), "0B/S)");
    EXPECT_EQ(TransferProgressText::Speed(512), "512Byte/S)");
    EXPECT_EQ(TransferProgressText::Speed(20 * 1024 + 5), "20KB/S)");
    EXPECT_EQ(TransferProgressText::Speed(2 * 1024 * 1024), "2MB/S)");
    EXPECT_EQ(TransferProgressText::ProgressLine(int64_t{12760} * 1024, int64_t{102400} * 1024,
                                                 1'023'000, 0),
              "Time Left:17M3S   12.46MB/100MB(0B/S)");
    EXPECT_EQ(TransferProgressText::ProgressLine(5000, 0, 0, 0), "N/A - 5000 of N/A");
    EXPECT_EQ(TransferProgressText::Percent(50, 200), 25);
    EXPECT_EQ(TransferProgressText::Percent(int64_t{3} << 31, int64_t{4} << 31), 75);
    EXPECT_EQ(TransferProgressText::Percent(5, 0), -1) << "the bar does not move";
}

// The fraction is the true part of a megabyte or gigabyte (12,760 KB is 12.46 MB, not
// "12.76MB"), cut to two decimals with trailing zeros dropped, so a size never reads larger
// than it is.
TEST_F(TransferProgressTextTest, SizesAreTrueValuesWithTwoDecimalsAtMost) {
    const int64_t kb = 1024;
    const int64_t mb = 1024 * kb;
    const int64_t gb = 1024 * mb;
    EXPECT_EQ(TransferProgressText::Size(12760 * kb, "/"), "12.46MB/");
    EXPECT_EQ(TransferProgressText::Size(mb + mb / 2, ""), "1.5MB") << "a trailing zero dropped";
    EXPECT_EQ(TransferProgressText::Size(mb + 50 * kb, ""), "1.04MB") << "a leading zero kept";
    EXPECT_EQ(TransferProgressText::Size(2 * mb + 3 * kb, ""), "2MB") << "0.002 MB is no fraction";
    EXPECT_EQ(TransferProgressText::Size(1024 * mb - kb, ""), "1023.99MB") << "cut, not rounded up";
    EXPECT_EQ(TransferProgressText::Size(gb + 1, ""), "1024MB");
    EXPECT_EQ(TransferProgressText::Size(gb + gb / 4 + 5 * mb, ""), "1.25GB");
    EXPECT_EQ(TransferProgressText::Size(int64_t{5000} * gb / 3, ""), "1666.66GB");
    EXPECT_EQ(TransferProgressText::Size(1023, "("), "0KB(");

    EXPECT_EQ(TransferProgressText::Speed(1536 * kb), "1.5MB/S)");
    EXPECT_EQ(TransferProgressText::Speed(mb + 512), "1MB/S)") << "half a kilobyte is no fraction";
    EXPECT_EQ(TransferProgressText::Speed(10 * mb + 200 * kb), "10.19MB/S)");
}

TEST_F(TransferProgressTextTest, HistorySizesInKilobytesMegabytesAndGigabytes) {
    const int64_t kb = 1024;
    const int64_t mb = 1024 * kb;
    EXPECT_EQ(TransferProgressText::HistorySize(0), "1KB") << "an empty file reads 1KB";
    EXPECT_EQ(TransferProgressText::HistorySize(1500), "1KB");
    EXPECT_EQ(TransferProgressText::HistorySize(1024 * kb), "1024KB");
    EXPECT_EQ(TransferProgressText::HistorySize(1025 * kb), "1MB");
    EXPECT_EQ(TransferProgressText::HistorySize(12760 * kb), "12.46MB");
    EXPECT_EQ(TransferProgressText::HistorySize(1000 * mb + 512 * kb), "1000.5MB");
    EXPECT_EQ(TransferProgressText::HistorySize(1001 * mb), "0.97G");
    EXPECT_EQ(TransferProgressText::HistorySize(int64_t{5} * 1024 * mb / 2), "2.5G");
}

TEST_F(TransferProgressTextTest, CountLabelShowsWhatIsLeftOrWhatFailed) {
    EXPECT_EQ(TransferProgressText::CountText(7, 2), "  File Left:7");
    EXPECT_EQ(TransferProgressText::CountText(0, 2), "  Failed Files:2");
    EXPECT_EQ(TransferProgressText::CountText(0, 0), "");
}

}  // namespace
