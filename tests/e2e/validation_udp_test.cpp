#include "e2e/udptest.h"
#include "engine/targettracking.h"
#include "interface/targettrackinginterface.h"
#include "support/packets.h"
#include "tools/common/packetencoder.h"
#include "util/util.h"

#include <algorithm>
#include <vector>

using trklib::PacketEncoder;
using trklib::RadarConfig;
using trklib::RadarDataMax;
using trklib::RadarPacketData;
using trklib::TargetData;
using trklib::TargetTracking;
using trklib::TargetTrackingInterface;
using trklib::ValidationData;
using namespace trklib::test;
namespace util = trklib::util;

namespace {

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
const QVector<int> detectedCells{40, 81, 300, 700, 900, 901, 1023};

const Echo& echoAt(int cell)
{
    return *std::find_if(knownEchoes.cbegin(), knownEchoes.cend(),
                         [cell](const Echo& e) { return e.cell == cell; });
}

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
    v.velocity = float(util::mpsToKph(util::kphToMps(double(e.velocityKph))));
    return v;
}

void expectSameRecords(const std::vector<ValidationData>& got,
                       const std::vector<ValidationData>& expected)
{
    ASSERT_EQ(got.size(), expected.size());
    for (size_t k = 0; k < got.size(); ++k) {
        SCOPED_TRACE(testing::Message() << "record " << k);
        EXPECT_EQ(got[k].index, expected[k].index);
        EXPECT_EQ(got[k].elevation, expected[k].elevation);
        EXPECT_EQ(got[k].azimuth, expected[k].azimuth);
        EXPECT_EQ(got[k].distance, expected[k].distance);
        EXPECT_EQ(got[k].velocity, expected[k].velocity);
    }
}

class ValidationUdpTest : public UdpTest
{
};

} // namespace

TEST_F(ValidationUdpTest, KnownMaximaGiveExactRecords)
{
    const RadarConfig configs[] = {
        {0.0, 0.0, 0.0, 0.0, 0},  {5.0, 30.0, 4.0, 2.5, 0}, // tilt, pan and height play no part
        {5.0, 30.0, 4.0, 2.5, 1}, {0.0, 0.0, 0.0, -1.75, 1},
        {0.0, 0.0, 0.0, 2.5, 3}, // neither 0 nor 1: like horizontal
    };
    TargetTrackingInterface facade;
    facade.connect();
    for (const RadarConfig& config : configs) {
        SCOPED_TRACE(testing::Message()
                     << "orientation " << config.orientation << " pan offset " << config.panOffset);
        facade.radarConfig(config);
        ASSERT_TRUE(sender_.sendPacket(packetWithEchoes(1, knownEchoes)));
        std::vector<ValidationData> data{ValidationData{1, 2, 3, 4, 5}};
        ASSERT_EQ(facade.getValidationData(data), 0);
        std::vector<ValidationData> expected;
        for (int cell : detectedCells)
            expected.push_back(expectedRecord(echoAt(cell), config));
        expectSameRecords(data, expected);
    }
    // Sanity of the expectations: a few values spelled out.
    const ValidationData plain = expectedRecord(echoAt(40), RadarConfig{0, 0, 0, 2.5, 0});
    EXPECT_EQ(plain.index, -40);
    EXPECT_EQ(plain.azimuth, -10.25f);
    EXPECT_EQ(plain.velocity, -18.0f);
    const ValidationData vertical = expectedRecord(echoAt(40), RadarConfig{0, 0, 0, 2.5, 1});
    EXPECT_EQ(vertical.elevation, -12.75f);
    EXPECT_EQ(vertical.azimuth, -6.0f);
}

TEST_F(ValidationUdpTest, HarmonicDroppedByTrackingIsStillReported)
{
    TargetTracking engine;
    engine.connect();
    const RadarPacketData packet = packetWithEchoes(1, knownEchoes);
    ASSERT_TRUE(sender_.sendPacket(packet));
    QVector<ValidationData> data;
    ASSERT_EQ(engine.getValidationData(data), 0);
    auto hasIndex = [](const auto& list, int index) {
        return std::any_of(list.cbegin(), list.cend(),
                           [index](const auto& m) { return m.index == index; });
    };
    EXPECT_TRUE(hasIndex(data, 81));

    QVector<RadarDataMax> maxima = engine.rectifyData(engine.getRadarData(packet));
    engine.checkHarmonics(maxima);
    EXPECT_FALSE(hasIndex(maxima, 81));
    EXPECT_TRUE(hasIndex(maxima, -40));
}

TEST_F(ValidationUdpTest, ErrorsLeaveTheRecordsAlone)
{
    TargetTrackingInterface facade;
    facade.connect();
    QByteArray badHeader = PacketEncoder::header(PacketEncoder::emptyPacket(1));
    badHeader[7] = 0;
    ASSERT_TRUE(sender_.send(badHeader));
    std::vector<ValidationData> data(3, ValidationData{4, 1, 2, 3, 4});
    EXPECT_EQ(facade.getValidationData(data), 2);
    EXPECT_EQ(data.size(), 3u);
    EXPECT_EQ(data[2].index, 4);

    // A packet without detections is a success with no records.
    ASSERT_TRUE(sender_.sendPacket(PacketEncoder::emptyPacket(2)));
    EXPECT_EQ(facade.getValidationData(data), 0);
    EXPECT_TRUE(data.empty());
}

// A packet read for validation is not tracked and does not move the times:
// the next tracked packet's elapsed time counts from the last tracked one.
TEST_F(ValidationUdpTest, ValidationBetweenTrackedPacketsLeavesTheTimes)
{
    TargetTracking engine;
    engine.connect();
    QVector<TargetData> targets;
    long timestamp = 0;

    // Validation before any tracking: the first tracked packet still only
    // sets the time base.
    QVector<ValidationData> data;
    ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(500, 0)));
    ASSERT_EQ(engine.getValidationData(data), 0);
    EXPECT_FALSE(engine.isInitialized());

    ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(1000, 0)));
    ASSERT_EQ(engine.getTargets(timestamp, targets), 0);
    ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(1100, 1)));
    ASSERT_EQ(engine.getTargets(timestamp, targets), 0);
    const auto negativeCandidates = engine.negativeCandidates().size();

    ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(1200, 2)));
    ASSERT_EQ(engine.getValidationData(data), 0);
    EXPECT_EQ(data.size(), 2);
    EXPECT_EQ(engine.previousTime(), 1000);
    EXPECT_EQ(engine.currentTime(), 1100);
    EXPECT_EQ(engine.timeDelta(), 100);
    EXPECT_EQ(engine.negativeCandidates().size(), negativeCandidates);

    ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(1300, 3)));
    ASSERT_EQ(engine.getTargets(timestamp, targets), 0);
    EXPECT_EQ(timestamp, 1300);
    EXPECT_EQ(engine.previousTime(), 1100);
    EXPECT_EQ(engine.timeDelta(), 200);
}

// Through the facade: the tracked reports with validation calls in between
// equal those of the tracked packets alone.
TEST_F(ValidationUdpTest, ValidationBetweenTrackedPacketsLeavesTheTargets)
{
    const QVector<int> tracked{0, 1, 3, 4, 6, 7, 8, 9};
    std::vector<std::vector<TargetData>> viaUdp;
    {
        TargetTrackingInterface facade;
        facade.connect();
        for (int cycle = 0; cycle < 10; ++cycle) {
            ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(cycle * 100, cycle)));
            if (tracked.contains(cycle)) {
                long timestamp = 0;
                std::vector<TargetData> targets;
                ASSERT_EQ(facade.getTargets(timestamp, targets), 0);
                viaUdp.push_back(targets);
            } else {
                std::vector<ValidationData> data;
                ASSERT_EQ(facade.getValidationData(data), 0);
            }
        }
    }
    ASSERT_FALSE(viaUdp.back().empty());

    TargetTracking engine;
    for (int i = 0; i < tracked.size(); ++i) {
        long timestamp = 0;
        QVector<TargetData> targets;
        engine.getTargetsFromData(twoMoversPacket(tracked[i] * 100, tracked[i]), timestamp,
                                  targets);
        const std::vector<TargetData>& got = viaUdp[size_t(i)];
        ASSERT_EQ(got.size(), size_t(targets.size())) << "packet " << tracked[i];
        for (size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got[k].number, targets[int(k)].number);
            EXPECT_EQ(got[k].distance, targets[int(k)].distance);
            EXPECT_EQ(got[k].elevation, targets[int(k)].elevation);
            EXPECT_EQ(got[k].azimuth, targets[int(k)].azimuth);
            EXPECT_EQ(got[k].velocity, targets[int(k)].velocity);
            EXPECT_EQ(got[k].confirmed, targets[int(k)].confirmed);
        }
    }
}
