#include "e2e/udptest.h"
#include "engine/targettracking.h"
#include "input/packetencoder.h"
#include "support/packets.h"
#include "util/util.h"

#include <QElapsedTimer>

#include <tuple>

using trklib::PacketEncoder;
using trklib::RadarConfig;
using trklib::RadarDataMax;
using trklib::TargetData;
using trklib::TargetTracking;
using trklib::TargetTrackingInterface;
using trklib::ValidationData;
using namespace trklib::test;

namespace {

constexpr long cycleMs = 100;

class FacadeUdpTest : public UdpTest
{
protected:
    TargetTrackingInterface facade_;
};

// Cells of the known packet. Cell 81 lies in the second-harmonic window of
// the strong cell 40 (78 to 82), so tracking drops it.
const QVector<Echo> knownEchoes{{0, -10, 5.0f, 10.0f, 1.0f, 1.0f}, // cell 0: never a detection
                                {40, -20, -18.0f, 123.25f, 3.5f, -12.75f}, // strong, approaching
                                {81, -50, 7.2f, 60.5f, -1.25f, 30.0f},     // harmonic of cell 40
                                {300, -60, 36.0f, 250.0f, 0.1f, -0.1f},    //
                                {500, -30, 0.0f, 40.0f, 2.0f, 2.0f},       // zero velocity: dropped
                                {600, -71, 10.0f, 40.0f, 2.0f, 2.0f},      // below -70 dB: dropped
                                {700, -70, -0.01f, 333.3f, -7.5f, 89.9f},  // at the threshold
                                {900, -40, 1.0f, 20.0f, 0.5f, -45.0f},     // flat top: both cells
                                {901, -40, 1.5f, 20.5f, 0.75f, -44.0f},    //
                                {1023, -45, 3.3f, 300.0f, 10.0f, 100.0f}}; // last cell

// The record of one detected cell: radar frame (angles swapped for vertical
// mounting), pan offset added, azimuth mirrored for vertical mounting,
// velocity through m/s and back, all in single precision at the end.
ValidationData expectedRecord(const Echo& e, const RadarConfig& c)
{
    const bool vertical = c.orientation == 1;
    ValidationData v;
    v.index = e.velocityKph < 0.0f ? -e.cell : e.cell;
    v.elevation = vertical ? e.azimuthDeg : e.elevationDeg;
    v.azimuth = float(double(vertical ? e.elevationDeg : e.azimuthDeg) + c.panOffset);
    if (vertical)
        v.azimuth = -v.azimuth;
    v.distance = e.distanceM;
    v.velocity = float(trklib::util::mpsToKph(trklib::util::kphToMps(double(e.velocityKph))));
    return v;
}

} // namespace

// The facade reports what an engine reports for the tracked packets alone:
// validation reads and failed reads between tracked packets leave the
// caller's outputs and the tracking alone, and so does a reconnection.
// Silence costs about one second. After resetTracking the next packet only
// sets the time base again.
TEST_F(FacadeUdpTest, TracksTheSceneLikeTheEngine)
{
    const QVector<int> tracked{0, 1, 3, 4, 6, 7, 8, 9}; // 2 and 5: validation only
    QVector<QVector<TargetData>> expected;
    {
        TargetTracking engine;
        for (int cycle : tracked) {
            long timestamp = 0;
            expected.append(QVector<TargetData>());
            engine.getTargetsFromData(twoMoversPacket(cycle * cycleMs, cycle), timestamp,
                                      expected.last());
        }
    }
    facade_.resetTracking(); // restarts the target numbering the engine went on with
    long timestamp = 0;
    std::vector<TargetData> targets;
    std::vector<ValidationData> data;
    const auto play = [&](int from, int to) {
        for (int cycle = from; cycle < to; ++cycle) {
            SCOPED_TRACE(cycle);
            ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(cycle * cycleMs, cycle), 1000));
            if (tracked.contains(cycle)) {
                ASSERT_EQ(facade_.getTargets(timestamp, targets), 0);
                EXPECT_EQ(timestamp, cycle * cycleMs);
                expectSameTargets(targets, expected[tracked.indexOf(cycle)]);
            } else {
                ASSERT_EQ(facade_.getValidationData(data), 0);
            }
        }
    };
    facade_.connect();
    facade_.disconnect();
    facade_.connect();
    play(0, 4);
    facade_.disconnect();
    facade_.connect();
    play(4, 8);
    ASSERT_EQ(targets.size(), 2u);
    const std::vector<TargetData> reported = targets;
    data.assign(3, ValidationData{4, 1, 2, 3, 4});

    QByteArray badHeader = PacketEncoder::header(PacketEncoder::emptyPacket(99999));
    badHeader[0] = 0;
    ASSERT_TRUE(sender_.send(badHeader));
    EXPECT_EQ(facade_.getTargets(timestamp, targets), 2);
    badHeader[0] = char(0xAA);
    badHeader[7] = 0;
    ASSERT_TRUE(sender_.send(badHeader));
    EXPECT_EQ(facade_.getValidationData(data), 2);
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(facade_.getTargets(timestamp, targets), 1);
    EXPECT_GE(timer.elapsed(), waitLowMs);
    EXPECT_LT(timer.elapsed(), waitHighMs);
    EXPECT_EQ(timestamp, 7 * cycleMs);
    expectSameTargets(targets, reported);
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(data[2].index, 4);

    // A packet without detections is a success with no records.
    ASSERT_TRUE(sender_.sendPacket(PacketEncoder::emptyPacket(2)));
    EXPECT_EQ(facade_.getValidationData(data), 0);
    EXPECT_TRUE(data.empty());

    // The caller's vector gets new storage of exactly the reported size.
    targets.assign(40, TargetData{});
    play(8, 10);
    EXPECT_EQ(targets.capacity(), targets.size());

    facade_.resetTracking();
    ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(1234567890123, 10)));
    ASSERT_EQ(facade_.getTargets(timestamp, targets), 0);
    EXPECT_EQ(timestamp, 1234567890123);
    EXPECT_TRUE(targets.empty());
}

TEST_F(FacadeUdpTest, ReadErrorAtOnceBeforeConnectAndAfterDisconnect)
{
    // Collects Qt's messages: the library prints nothing, not even Qt's warnings.
    static QStringList qtMessages;
    const QtMessageHandler previousHandler = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& m) { qtMessages << m; });
    long timestamp = 77;
    std::vector<TargetData> targets{TargetData{5, 1, 2, 3, 4, true}};
    const std::vector<TargetData> before = targets;
    std::vector<ValidationData> data(1, ValidationData{9, 0, 0, 0, 0});
    const auto expectReadErrorAtOnce = [&](long expectedTimestamp) {
        ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(1, 0))); // never received
        QElapsedTimer timer;
        timer.start();
        EXPECT_EQ(facade_.getTargets(timestamp, targets), 1);
        EXPECT_EQ(facade_.getValidationData(data), 1);
        EXPECT_LT(timer.elapsed(), immediateMs);
        EXPECT_EQ(timestamp, expectedTimestamp);
        expectSameTargets(targets, before);
        ASSERT_EQ(data.size(), 1u);
        EXPECT_EQ(data[0].index, 9);
    };
    expectReadErrorAtOnce(77);
    facade_.disconnect();
    expectReadErrorAtOnce(77);
    facade_.connect();
    facade_.connect();
    EXPECT_TRUE(sender_.sendPacket(twoMoversPacket(2, 0)));
    EXPECT_EQ(facade_.getTargets(timestamp, targets), 0);
    EXPECT_EQ(timestamp, 2);
    targets = before;
    facade_.disconnect();
    facade_.disconnect();
    expectReadErrorAtOnce(2);
    qInstallMessageHandler(previousHandler);
    EXPECT_TRUE(qtMessages.isEmpty()) << qPrintable(qtMessages.join('\n'));
}

// Validation reports the maxima exactly, the harmonic that tracking drops
// included.
TEST_F(FacadeUdpTest, KnownMaximaGiveExactRecords)
{
    const int detected[] = {1, 2, 3, 6, 7, 8, 9}; // in knownEchoes
    const RadarConfig configs[] = {
        {0.0, 0.0, 0.0, 0.0, 0},  {5.0, 30.0, 4.0, 2.5, 0}, // tilt, pan and height play no part
        {5.0, 30.0, 4.0, 2.5, 1}, {0.0, 0.0, 0.0, -1.75, 1},
        {0.0, 0.0, 0.0, 2.5, 3}, // neither 0 nor 1: like horizontal
    };
    facade_.connect();
    for (const RadarConfig& config : configs) {
        SCOPED_TRACE(testing::Message()
                     << "orientation " << config.orientation << " pan offset " << config.panOffset);
        facade_.radarConfig(config);
        ASSERT_TRUE(sender_.sendPacket(packetWithEchoes(1, knownEchoes)));
        std::vector<ValidationData> data{ValidationData{1, 2, 3, 4, 5}};
        ASSERT_EQ(facade_.getValidationData(data), 0);
        ASSERT_EQ(data.size(), std::size(detected));
        const auto fields = [](const ValidationData& v) {
            return std::make_tuple(v.index, v.elevation, v.azimuth, v.distance, v.velocity);
        };
        for (size_t k = 0; k < data.size(); ++k)
            EXPECT_EQ(fields(data[k]), fields(expectedRecord(knownEchoes[detected[k]], config)))
                << k;
    }
    // Sanity of the expectations: a few values spelled out.
    const ValidationData plain = expectedRecord(knownEchoes[1], RadarConfig{0, 0, 0, 2.5, 0});
    EXPECT_EQ(plain.index, -40);
    EXPECT_EQ(plain.azimuth, -10.25f);
    EXPECT_EQ(plain.velocity, -18.0f);
    const ValidationData vertical = expectedRecord(knownEchoes[1], RadarConfig{0, 0, 0, 2.5, 1});
    EXPECT_EQ(vertical.elevation, -12.75f);
    EXPECT_EQ(vertical.azimuth, -6.0f);

    TargetTracking engine;
    QVector<RadarDataMax> maxima =
        engine.rectifyData(engine.getRadarData(packetWithEchoes(1, knownEchoes)));
    engine.checkHarmonics(maxima);
    QVector<int> indices;
    for (const RadarDataMax& m : maxima)
        indices.append(m.index);
    EXPECT_FALSE(indices.contains(81));
    EXPECT_TRUE(indices.contains(-40));
}
