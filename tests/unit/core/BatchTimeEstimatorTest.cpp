#include <gtest/gtest.h>

#include <vector>

#include "core/BatchTimeEstimator.h"

namespace {

using Running = BatchTimeEstimator::Running;

// Ten thousand small files at a good speed: the bytes alone are done in a second, the files
// are not. Each file waits 300 ms before its first (and only) progress.
TEST(BatchTimeEstimatorTest, ManySmallFilesAreEstimatedByTheirPerFileCostNotTheirBytes) {
    BatchTimeEstimator estimator;
    uint64_t now = 0;
    for (int64_t id = 1; id <= 20; ++id) {
        estimator.Observe(now, {{id, 0, 1000, 0}}, 1'000'000);
        now += 300;
        // 1000 bytes at 1 MB/s are 1 ms of the 300.
        estimator.Observe(now, {{id, 1000, 1000, 1'000'000}}, 1'000'000);
    }
    EXPECT_EQ(estimator.OverheadMs(), 299u);
    const auto estimate = estimator.EstimateLeft(10'000, 10'000 * 1000);
    EXPECT_TRUE(estimate.known);
    EXPECT_EQ(estimate.overheadMs, 2'990'000u);  // about 50 minutes, not "1S"
    EXPECT_EQ(estimate.bytesMs, 10'000u);
    EXPECT_EQ(estimate.TotalMs(), 3'000'000u);
    // Three running side by side share the waiting.
    EXPECT_EQ(estimator.EstimateLeft(9, 0, 3).overheadMs, 897u);
}

TEST(BatchTimeEstimatorTest, ALargeFileThatStartsAtOnceAddsNoPerFileCost) {
    BatchTimeEstimator estimator;
    estimator.Observe(0, {{7, 0, 100'000'000, 0}}, 0);
    // 1.2 s later the first tick: 1.2 MB moved at 1 MB/s took all of that time.
    estimator.Observe(1200, {{7, 1'200'000, 100'000'000, 1'000'000}}, 1'000'000);
    EXPECT_EQ(estimator.SampleCount(), 1u);
    EXPECT_EQ(estimator.OverheadMs(), 0u);
    // Later progress of the same file is no new sample.
    estimator.Observe(2400, {{7, 2'400'000, 100'000'000, 1'000'000}}, 1'000'000);
    EXPECT_EQ(estimator.SampleCount(), 1u);
    const auto estimate = estimator.EstimateLeft(1, 97'600'000);
    EXPECT_EQ(estimate.overheadMs, 0u);
    EXPECT_EQ(estimate.bytesMs, 97'600u);
}

TEST(BatchTimeEstimatorTest, AFileThatEndsBeforeAnyProgressStillGivesItsSample) {
    BatchTimeEstimator estimator;
    estimator.Observe(0, {{1, 0, 2000, 0}}, 1000);
    // Gone at the next look, 500 ms later: 2000 bytes at 1000 B/s would be 2 s, so no cost.
    estimator.Observe(500, {{2, 0, 10, 0}}, 1000);
    EXPECT_EQ(estimator.SampleCount(), 1u);
    EXPECT_EQ(estimator.OverheadMs(), 0u);
    // The second one, tiny, waited 800 ms.
    estimator.Observe(1300, {}, 0);
    EXPECT_EQ(estimator.SampleCount(), 2u);
    EXPECT_EQ(estimator.OverheadMs(), (0u + 790u) / 2);
    EXPECT_EQ(estimator.MeasuredSpeed(), 1000u);  // a look without speed keeps the last one
}

TEST(BatchTimeEstimatorTest, TheAverageFollowsTheLastSamplesOnly) {
    BatchTimeEstimator estimator;
    uint64_t now = 0;
    auto oneFile = [&](int64_t id, uint64_t waitMs) {
        estimator.Observe(now, {{id, 0, 0, 0}}, 1000);
        now += waitMs;
        estimator.Observe(now, {}, 1000);
    };
    for (int64_t id = 0; id < 50; ++id) {
        oneFile(id, 5000);  // a slow start of the connection
    }
    for (int64_t id = 50; id < 50 + static_cast<int64_t>(BatchTimeEstimator::kWindow); ++id) {
        oneFile(id, 100);
    }
    EXPECT_EQ(estimator.OverheadMs(), 100u);
}

TEST(BatchTimeEstimatorTest, NothingMeasuredYetIsUnknownUnlessNothingIsLeft) {
    BatchTimeEstimator estimator;
    EXPECT_FALSE(estimator.EstimateLeft(3, 100).known);
    EXPECT_TRUE(estimator.EstimateLeft(0, 0).known);
    EXPECT_EQ(estimator.EstimateLeft(3, 100).TotalMs(), 0u);
    estimator.Observe(0, {{1, 0, 10, 0}}, 500);
    estimator.Observe(100, {}, 0);
    ASSERT_EQ(estimator.SampleCount(), 1u);
    estimator.Reset();
    EXPECT_EQ(estimator.SampleCount(), 0u);
    EXPECT_EQ(estimator.OverheadMs(), 0u);
    EXPECT_FALSE(estimator.EstimateLeft(1, 1).known);
}

TEST(BatchTimeEstimatorTest, AClockThatSeemsToGoBackGivesNoHugeCost) {
    BatchTimeEstimator estimator;
    estimator.Observe(1000, {{1, 0, 10, 0}}, 10);
    estimator.Observe(900, {}, 10);
    EXPECT_EQ(estimator.OverheadMs(), 0u);
}

}  // namespace
