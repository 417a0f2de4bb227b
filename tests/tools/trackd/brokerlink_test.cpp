// The waits between tries to connect to the broker, as docs/trackd.md gives
// them.

#include "brokerlink.h"

#include <gtest/gtest.h>

namespace trklib::trackd::test {
namespace {

using std::chrono::seconds;

TEST(RetrySchedule, WaitsOneToFiveSecondsMoreEachFailureAndStartsOverOnAConnection)
{
    RetrySchedule retries;
    const seconds firstSix[]{seconds(1), seconds(2), seconds(3),
                             seconds(4), seconds(5), seconds(5)};
    for (int round = 0; round < 2; ++round) {
        for (std::size_t i = 0; i < std::size(firstSix); ++i)
            EXPECT_EQ(retries.failed(), firstSix[i]) << "round " << round << ", failure " << i + 1;
        retries.connected();
    }
    // However long the broker stays away.
    for (int i = 0; i < 100000; ++i)
        retries.failed();
    EXPECT_EQ(retries.failed(), seconds(5));
    retries.connected();
    EXPECT_EQ(retries.failed(), seconds(1));
}

} // namespace
} // namespace trklib::trackd::test
