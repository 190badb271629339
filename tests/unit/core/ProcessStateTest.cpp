#include "core/ProcessState.h"

#include <gtest/gtest.h>

namespace {

TEST(ProcessStateTest, TheTransferStateMovesByTheTable) {
    using T = TxState;
    using E = TxEvent;
    // Uploads while downloads run make both; the end of one direction leaves the other.
    EXPECT_EQ(MoveTxState(T::kNone, E::kUploadsActive), T::kUploads);
    EXPECT_EQ(MoveTxState(T::kUploads, E::kDownloadsActive), T::kBoth);
    EXPECT_EQ(MoveTxState(T::kDownloads, E::kUploadsActive), T::kBoth);
    EXPECT_EQ(MoveTxState(T::kBoth, E::kUploadsActive), T::kUploads);
    EXPECT_EQ(MoveTxState(T::kBoth, E::kDownloadsActive), T::kDownloads);
    // Every state ends with all finished, and pauses with paused.
    for (int state = 0; state <= 5; ++state) {
        EXPECT_EQ(MoveTxState(static_cast<T>(state), E::kAllFinished), T::kNone);
        EXPECT_EQ(MoveTxState(static_cast<T>(state), E::kPaused), T::kPaused);
    }
    // The unused state keeps its place when both become active.
    EXPECT_EQ(MoveTxState(T::kUnused, E::kBothActive), T::kUnused);
    EXPECT_EQ(MoveTxState(static_cast<T>(9), E::kUploadsActive), static_cast<T>(9));
    EXPECT_EQ(TxStateFromNumber(4), T::kPaused);
    EXPECT_EQ(TxStateFromNumber(-1), T::kUnused);
    EXPECT_EQ(TxStateFromNumber(6), T::kUnused);
}

}  // namespace
