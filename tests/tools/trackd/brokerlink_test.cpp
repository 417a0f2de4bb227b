// The waits between tries to connect to the broker, as docs/trackd.md gives
// them, and what a broker link keeps of an outage for its log.

#include "brokerlink.h"

#include <gtest/gtest.h>

#include <thread>

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

// An outage begins with the first failure, whatever follows it, and ends
// with the next connection, which says how long it lasted and what it
// cost; only the first connection of all is one with no outage before it.
TEST(BrokerOutage, BeginsOnceEndsOnConnectionAndCountsWhatItCost)
{
    using service::BrokerOutage;
    using Kind = BrokerOutage::Ended::Kind;
    BrokerOutage outage(QStringLiteral("pictures"));
    EXPECT_FALSE(outage.inOutage());
    EXPECT_FALSE(outage.everConnected());

    // Never connected yet: the first connection after failed tries ends
    // an outage.
    EXPECT_TRUE(outage.begin(10));
    EXPECT_FALSE(outage.begin(12)); // a second failure: the same outage
    EXPECT_TRUE(outage.inOutage());
    EXPECT_FALSE(outage.everConnected());
    EXPECT_EQ(outage.unsentSince(15), 5U);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    BrokerOutage::Ended ended = outage.connected(17);
    EXPECT_EQ(ended.kind, Kind::Outage);
    EXPECT_EQ(ended.unsent, 7U);
    EXPECT_GE(ended.seconds, 0.02);
    EXPECT_LT(ended.seconds, 10.0);
    EXPECT_FALSE(outage.inOutage());
    EXPECT_TRUE(outage.everConnected());

    // A connection that ended as asked, then the next: no outage.
    EXPECT_EQ(outage.connected(17).kind, Kind::Nothing);
    // A new outage counts from where it began.
    EXPECT_TRUE(outage.begin(20));
    ended = outage.connected(20);
    EXPECT_EQ(ended.kind, Kind::Outage);
    EXPECT_EQ(ended.unsent, 0U);

    BrokerOutage first(QStringLiteral("track messages"));
    EXPECT_EQ(first.connected().kind, Kind::First);
    EXPECT_EQ(first.connected().kind, Kind::Nothing);

    EXPECT_EQ(first
                  .begunLine(QStringLiteral("radar r1: lost the broker %1")
                                 .arg(service::brokerAddress(site::BrokerConfig{})))
                  .toStdString(),
              "radar r1: lost the broker 127.0.0.1:1883; track messages are counted and dropped "
              "until it is back, with at most 5 s between tries");
}

} // namespace
} // namespace trklib::trackd::test
