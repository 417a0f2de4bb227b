// The engine's cycle takes its maxima straight from the packet's arrays,
// passing over eight cells at a time while none reaches the threshold. It
// must give bit for bit what the stages give one after the other:
// rectifyData(getRadarData(packet)).
#include "detection/packetmaxima.h"
#include "engine/targettracking.h"
#include "input/packetencoder.h"
#include "support/packets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>

namespace trklib {
namespace {

constexpr int cellCount = wire::cellCount;
constexpr int engineThreshold = -70; // dB, int(10 dB above the -80 dB noise level)
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

bool sameBits(const QVector<RadarDataMax>& a, const QVector<RadarDataMax>& b)
{
    return a.size() == b.size() &&
           std::memcmp(a.constData(), b.constData(), size_t(a.size()) * sizeof(RadarDataMax)) == 0;
}

// The stages' result for any threshold: the positions of the maximum search
// without cell 0 and zero-velocity cells, converted.
QVector<RadarDataMax> stagesResult(TargetTracking& engine, const RadarPacketData& packet,
                                   int threshold)
{
    const QVector<RadarData> cells = engine.getRadarData(packet);
    QVector<RadarDataMax> maxima;
    for (int k : engine.getMaxAmplitudeIndices(cells, threshold)) {
        const RadarData& c = cells[k];
        if (k != 0 && c.relVelocity != 0.0)
            maxima.append(detection::toMaximum(c.index, c.amplitude, c.distance, c.elevation,
                                               c.azimuth, c.relVelocity,
                                               engine.radarConfig().panOffset));
    }
    return maxima;
}

// Amplitudes over the whole range, velocities of either sign and zero, NaN
// and negative zero among them.
RadarPacketData randomPacket(quint32 seed, int lowestDb)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> amplitude(lowestDb, 127);
    std::uniform_real_distribution<float> value(-300.0f, 300.0f);
    RadarPacketData p = PacketEncoder::emptyPacket(1000);
    for (int i = 0; i < cellCount; ++i) {
        p.amplitude[i] = static_cast<signed char>(amplitude(random));
        const int kind = int(random() % 16);
        p.relVelocity[i] = kind == 0 ? 0.0f : kind == 1 ? -0.0f : kind == 2 ? nan : value(random);
        p.distance[i] = value(random);
        p.elevation[i] = value(random) / 10;
        p.azimuth[i] = value(random) / 10;
    }
    return p;
}

// Noise at -128 dB with runs of equal amplitude across the boundaries of
// the eight-cell words, at both ends and at the threshold and just below.
RadarPacketData flatTopPacket()
{
    RadarPacketData p = PacketEncoder::emptyPacket(1000);
    for (int i = 0; i < cellCount; ++i) {
        p.relVelocity[i] = i % 3 == 0 ? -float(i) : float(i);
        p.distance[i] = 0.25f * float(i);
    }
    const struct
    {
        int first, last;
        signed char db;
    } runs[] = {{0, 1, -20},    {7, 8, -70},       {15, 16, -71},    {23, 24, 127}, {31, 33, -69},
                {39, 40, -128}, {47, 47, -70},     {55, 63, -40},    {64, 64, -40}, {100, 100, 5},
                {101, 101, 6},  {1015, 1016, -30}, {1020, 1023, -60}};
    for (const auto& r : runs) {
        for (int i = r.first; i <= r.last; ++i)
            p.amplitude[i] = r.db;
    }
    return p;
}

TEST(PacketMaxima, SameAsTheStagesOneAfterTheOther)
{
    struct Case
    {
        const char* name;
        RadarPacketData packet;
    };
    QVector<Case> cases{{"noise only", test::patternedPacket(1000, 3)},
                        {"flat tops", flatTopPacket()},
                        {"nothing received", RadarPacketData{}}};
    for (quint32 seed = 1; seed <= 20; ++seed) {
        cases.append({"random, all amplitudes", randomPacket(seed, -128)});
        cases.append({"random, mostly above", randomPacket(seed, -75)});
    }
    // Arrays cut short, alone or all together: the shortest sets the cells.
    for (int n : {1, 2, 7, 8, 9, 1000, 1023}) {
        RadarPacketData all = randomPacket(quint32(n), -80);
        all.amplitude.resize(n);
        all.relVelocity.resize(n);
        all.distance.resize(n);
        all.elevation.resize(n);
        all.azimuth.resize(n);
        cases.append({"all arrays cut", all});
        RadarPacketData one = randomPacket(quint32(n), -80);
        one.azimuth.resize(n);
        cases.append({"one array cut", one});
    }

    TargetTracking engine;
    for (const Case& c : cases) {
        for (const RadarConfig& config :
             {RadarConfig{0.0, 0.0, 5.0, 0.0, 0}, RadarConfig{-3.0, 10.0, 6.0, 1.5, 1},
              RadarConfig{0.0, 0.0, 5.0, -2.0, 7}}) {
            SCOPED_TRACE(testing::Message() << c.name << ", orientation " << config.orientation);
            engine.radarConfig() = config;
            QVector<RadarDataMax> maxima{RadarDataMax{1, 2, 3, 4, 5, 6}}; // emptied first
            detection::packetMaxima(c.packet, config, engineThreshold, maxima);
            EXPECT_TRUE(sameBits(maxima, engine.rectifyData(engine.getRadarData(c.packet))));
        }
    }
}

// Thresholds the eight-cell test cannot take (below -127 or above 0) go
// cell by cell; those it takes must agree with the search at either end.
TEST(PacketMaxima, EveryThreshold)
{
    TargetTracking engine;
    engine.radarConfig() = RadarConfig{0.0, 0.0, 5.0, 0.5, 0};
    const RadarPacketData packets[] = {randomPacket(7, -128), flatTopPacket()};
    for (const RadarPacketData& packet : packets) {
        for (int threshold : {-1000, -129, -128, -127, -71, -70, -1, 0, 1, 6, 127, 128, 1000}) {
            SCOPED_TRACE(threshold);
            QVector<RadarDataMax> maxima;
            detection::packetMaxima(packet, engine.radarConfig(), threshold, maxima);
            EXPECT_TRUE(sameBits(maxima, stagesResult(engine, packet, threshold)));
        }
    }
}

} // namespace
} // namespace trklib
