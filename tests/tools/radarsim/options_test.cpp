#include "datagramshaper.h"
#include "simoptions.h"

#include <gtest/gtest.h>

namespace trklib::sim::test {
namespace {

ParseResult parse(const QStringList& args, SimOptions& options)
{
    QString error;
    return parseOptions(args, options, error);
}

TEST(SimOptions, DefaultsAreTheRoadSceneOnTheRadarPortAtTwentyPacketsPerSecond)
{
    SimOptions o;
    ASSERT_EQ(parse({}, o), ParseResult::Run);
    EXPECT_EQ(o.host, QLatin1String("127.0.0.1"));
    EXPECT_EQ(o.port, 34567);
    EXPECT_EQ(o.ratePps, 20.0);
    EXPECT_EQ(o.packets, 0);
    EXPECT_EQ(o.scene, QLatin1String("road"));
    EXPECT_EQ(o.heightM, 5.0);
    EXPECT_EQ(o.timestampMs(0), 1700000000000);
    EXPECT_EQ(o.timestampMs(3), 1700000000150);
}

TEST(SimOptions, ReadsValuesInBothSpellings)
{
    SimOptions o;
    ASSERT_EQ(parse({"--host", "::1", "--port=40001", "--rate", "8", "--start-ms", "5000",
                     "--orientation=1", "--no-send", "--packets", "12"},
                    o),
              ParseResult::Run);
    EXPECT_EQ(o.host, QLatin1String("::1"));
    EXPECT_EQ(o.port, 40001);
    EXPECT_EQ(o.orientation, 1);
    EXPECT_TRUE(o.noSend);
    EXPECT_EQ(o.timestampMs(1), 5125) << "8 packets per second: 125 ms apart";
}

TEST(SimOptions, RejectsBadOptionsAndValues)
{
    const QList<QStringList> bad{
        {"--bogus"},
        {"--port"},
        {"--port", "0"},
        {"--port", "70000"},
        {"--rate", "0"},
        {"--rate", "x"},
        {"--packets", "-1"},
        {"--scene", "harbour"},
        {"--seed", "-1"},
        {"--tilt", "nan"},
        {"--height", "-1"},
        {"--orientation", "2"},
        {"--loss", "1.5"},
        {"--reorder", "-0.1"},
        {"--max-datagram", "70000"},
        {"--host", "10.0.0.1"},
        {"--host", "radar"},
        {"--no-send"},
        {"--quiet=1"},
        {"packets"},
    };
    for (const QStringList& args : bad) {
        SimOptions o;
        QString error;
        EXPECT_EQ(parseOptions(args, o, error), ParseResult::Error) << args.join(' ').toStdString();
        EXPECT_FALSE(error.isEmpty());
    }
    SimOptions o;
    EXPECT_EQ(parse({"--packets", "3", "--help"}, o), ParseResult::Help);
}

TEST(DatagramShaper, LosesAndSwapsDatagramsReproducibly)
{
    QVector<QByteArray> datagrams;
    for (int i = 0; i < 200; ++i)
        datagrams.append(QByteArray::number(i));

    EXPECT_EQ(DatagramShaper(0.0, 0.0, 1).shape(datagrams), datagrams);
    EXPECT_TRUE(DatagramShaper(1.0, 0.0, 1).shape(datagrams).isEmpty());

    const QVector<QByteArray> swapped = DatagramShaper(0.0, 1.0, 1).shape(datagrams);
    ASSERT_EQ(swapped.size(), datagrams.size());
    EXPECT_EQ(swapped[0], datagrams[1]);
    EXPECT_EQ(swapped[1], datagrams[0]);

    const QVector<QByteArray> some = DatagramShaper(0.2, 0.0, 5).shape(datagrams);
    EXPECT_GT(some.size(), 120);
    EXPECT_LT(some.size(), 190);
    EXPECT_EQ(DatagramShaper(0.2, 0.0, 5).shape(datagrams), some);
}

} // namespace
} // namespace trklib::sim::test
