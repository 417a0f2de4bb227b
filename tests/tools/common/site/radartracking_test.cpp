// Which radar of a site a datagram goes to, and when a radar falls silent:
// the rules trackd's sockets and sited's offline run share.

#include "tools/common/site/radartracking.h"

#include "input/packetencoder.h"

#include <gtest/gtest.h>

namespace trklib::site {
namespace {

RadarEntry radar(const char* name, const char* bind, quint16 port, const char* sender)
{
    RadarEntry entry;
    entry.name = QString::fromLatin1(name);
    entry.bindAddress = bind ? QHostAddress(QString::fromLatin1(bind)) : QHostAddress();
    entry.port = port;
    entry.radarAddress = sender ? QHostAddress(QString::fromLatin1(sender)) : QHostAddress();
    return entry;
}

// A site with every kind of socket: two radars sharing one (told apart by
// sender), a radar alone on every interface, one alone with its address
// set, and one on every IPv4 interface only.
const QVector<RadarEntry> site{
    radar("a", "127.0.0.1", 5000, "127.0.0.2"), radar("b", "127.0.0.1", 5000, "127.0.0.3"),
    radar("c", nullptr, 5001, nullptr),         radar("d", "127.0.0.5", 5002, "10.0.0.1"),
    radar("e", "0.0.0.0", 5003, nullptr),       radar("f", "::1", 5002, nullptr),
};

TEST(RadarRouting, GivesEachDatagramToTheRadarTrackdWould)
{
    constexpr int none = -1;
    const struct
    {
        const char* what;
        const char* destination;
        quint16 port;
        const char* sender;
        int socketRadar; // the first radar of the socket that gets it, or none
        int radar;       // the radar it goes to, or none
    } cases[] = {
        {"shared socket, first sender", "127.0.0.1", 5000, "127.0.0.2", 0, 0},
        {"shared socket, second sender", "127.0.0.1", 5000, "127.0.0.3", 0, 1},
        {"shared socket, unknown sender", "127.0.0.1", 5000, "127.0.0.4", 0, none},
        {"IPv4-mapped forms", "::ffff:127.0.0.1", 5000, "::ffff:127.0.0.3", 0, 1},
        {"shared socket, another address", "127.0.0.9", 5000, "127.0.0.2", none, none},
        {"alone on every interface, any sender", "192.0.2.7", 5001, "198.51.100.1", 2, 2},
        {"alone on every interface, IPv6", "::1", 5001, "::1", 2, 2},
        {"alone with radar_address, its sender", "127.0.0.5", 5002, "10.0.0.1", 3, 3},
        {"alone with radar_address, another", "127.0.0.5", 5002, "10.0.0.2", 3, none},
        {"the other address of that port", "::1", 5002, "::1", 5, 5},
        {"every IPv4 interface, IPv4", "127.0.0.9", 5003, "127.0.0.9", 4, 4},
        {"every IPv4 interface, IPv6", "::1", 5003, "::1", none, none},
        {"wrong port", "127.0.0.1", 5004, "127.0.0.2", none, none},
    };
    const RadarRouting routing(site);
    EXPECT_EQ(routing.socketCount(), 5) << "a and b share one";
    EXPECT_EQ(routing.ports(), (QVector<quint16>{5000, 5001, 5002, 5003}));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int socket =
            routing.socketFor(QHostAddress(QString::fromLatin1(c.destination)), c.port);
        ASSERT_EQ(socket < 0 ? none : routing.socketRadars(socket).front(), c.socketRadar);
        if (socket >= 0) {
            EXPECT_EQ(routing.radarFor(socket, QHostAddress(QString::fromLatin1(c.sender))),
                      c.radar);
        }
    }
}

// Silent is unheard for longer than silenceUs: at the limit still heard,
// one microsecond past it silent, counted once per wait.
TEST(RadarTracker, FallsSilentJustPastTheWaitAndCountsEachWait)
{
    constexpr std::int64_t t0 = 1000;
    constexpr std::int64_t wait = RadarTracker::silenceUs;
    RadarTracker tracker(site[0]);
    tracker.start(t0);
    EXPECT_EQ(tracker.checkSilence(t0 + wait), RadarTracker::Silence::Heard);
    EXPECT_EQ(tracker.status().readErrors, 0u);
    EXPECT_EQ(tracker.checkSilence(t0 + wait + 1), RadarTracker::Silence::JustSilent);
    EXPECT_EQ(tracker.checkSilence(t0 + 2 * wait + 1), RadarTracker::Silence::Heard);
    EXPECT_EQ(tracker.checkSilence(t0 + 2 * wait + 2), RadarTracker::Silence::StillSilent);
    EXPECT_EQ(tracker.status().readErrors, 2u);

    // Heard: the next silence is news again, and hearing after it too.
    const QHostAddress sender(QStringLiteral("127.0.0.2"));
    RadarTracker::Outcome outcome = tracker.offer(QByteArray(8, 'x'), sender, 40000, t0 + 3 * wait);
    EXPECT_EQ(outcome.event, RadarTracker::Event::Receiving);
    EXPECT_FALSE(outcome.complete);
    EXPECT_EQ(tracker.checkSilence(t0 + 4 * wait + 1), RadarTracker::Silence::JustSilent);
    outcome = tracker.offer(QByteArray(8, 'x'), sender, 40000, t0 + 5 * wait);
    EXPECT_EQ(outcome.event, RadarTracker::Event::ReceivingAgain);
    EXPECT_EQ(tracker.status().readErrors, 3u);
    EXPECT_EQ(tracker.status().senders, 1u);
    EXPECT_EQ(tracker.status().strayDatagrams, 2u);
}

// Another sender takes over once the followed one has been silent the
// takeover time, and only with the first packet it completes: what it
// sends before is no change of sender, and a sender that completes nothing
// never takes over.
TEST(RadarTracker, SenderChangesWithTheNewSendersFirstCompletePacket)
{
    constexpr std::int64_t t0 = 1000;
    constexpr std::int64_t takeoverUs = DatagramAssembler::takeoverSilenceUs;
    const QVector<QByteArray> packet =
        PacketEncoder::datagrams(PacketEncoder::emptyPacket(1700000000000));
    const QHostAddress host(QStringLiteral("127.0.0.2"));
    RadarTracker tracker(site[0]);
    tracker.start(t0);
    const auto send = [&](quint16 port, const QVector<QByteArray>& datagrams, std::int64_t atUs) {
        QVector<RadarTracker::Outcome> outcomes;
        for (const QByteArray& d : datagrams)
            outcomes.append(tracker.offer(d, host, port, atUs));
        return outcomes;
    };
    // Garbage from another port first: assembled, nobody followed yet.
    send(40001, {QByteArray(8, 'x'), QByteArray(48, 'y')}, t0);
    QVector<RadarTracker::Outcome> radar = send(40000, packet, t0 + 300000);
    EXPECT_TRUE(radar.back().complete);
    for (const RadarTracker::Outcome& o : radar)
        EXPECT_NE(o.event, RadarTracker::Event::SenderChanged);

    // The radar silent the takeover time: the other port's header and
    // garbage change nothing, its complete packet does, once.
    const std::int64_t silentUs = t0 + 300000 + takeoverUs;
    QVector<RadarTracker::Outcome> other =
        send(40001, {packet.front(), QByteArray(8, 'x')}, silentUs);
    for (const RadarTracker::Outcome& o : other)
        EXPECT_EQ(o.event, RadarTracker::Event::None);
    other = send(40001, packet, silentUs + 1);
    int changes = 0;
    for (int i = 0; i < other.size(); ++i)
        if (other[i].event == RadarTracker::Event::SenderChanged) {
            ++changes;
            EXPECT_EQ(i, other.size() - 1) << "the change comes with the complete packet";
            EXPECT_EQ(other[i].previousPort, 40000);
        }
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(other.back().complete);

    // The old sender competes now: dropped, yet one of the radar's datagrams.
    EXPECT_TRUE(send(40000, {packet.front()}, silentUs + 2).front().dropped);
    EXPECT_EQ(tracker.status().competingDatagrams, 1u);
    EXPECT_EQ(tracker.status().datagrams, quint64(5 + 2 * packet.size()));
}

} // namespace
} // namespace trklib::site
