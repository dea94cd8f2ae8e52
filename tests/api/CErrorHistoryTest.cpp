#include "sdk/CErrorHistory.h"

#include <gtest/gtest.h>

namespace veltcam {
namespace {

TEST(CErrorHistory, EmptyHistoryGivesZero) {
    CErrorHistory history;
    EXPECT_EQ(history.TakeNewest(), 0);
}

TEST(CErrorHistory, CodesComeBackNewestFirst) {
    CErrorHistory history;
    history.Record(kErrParameter);
    history.Record(kErrMemory);
    EXPECT_EQ(history.TakeNewest(), kErrMemory);
    EXPECT_EQ(history.TakeNewest(), kErrParameter);
    EXPECT_EQ(history.TakeNewest(), 0);
}

TEST(CErrorHistory, KeepsOnlyTheNewestTwenty) {
    CErrorHistory history;
    for (int code = 1; code <= 25; ++code) history.Record(code);
    for (int code = 25; code > 5; --code) EXPECT_EQ(history.TakeNewest(), code);
    EXPECT_EQ(history.TakeNewest(), 0);
}

TEST(CErrorHistory, RecordedNoneShadowsOlderCodes) {
    CErrorHistory history;
    history.Record(kErrParameter);
    history.Record(kErrNone);
    EXPECT_EQ(history.TakeNewest(), kErrNone);
    EXPECT_EQ(history.TakeNewest(), kErrParameter);
}

}  // namespace
}  // namespace veltcam
