#pragma once

#include "input/packetencoder.h"

#include <gtest/gtest.h>

namespace trklib::test {

// Every header field and array entry of two packets agree, compared in the
// wire format so that NaN entries compare equal too.
inline void expectSamePacket(const RadarPacketData& a, const RadarPacketData& b)
{
    const auto sizes = [](const RadarPacketData& p) {
        return QVector<int>{p.amplitude.size(), p.relVelocity.size(), p.distance.size(),
                            p.elevation.size(), p.azimuth.size(),     p.phaseDiff.size()};
    };
    EXPECT_EQ(sizes(a), sizes(b));
    const QVector<QByteArray> x = PacketEncoder::datagrams(a);
    const QVector<QByteArray> y = PacketEncoder::datagrams(b);
    for (int i = 0; i < x.size(); ++i)
        EXPECT_TRUE(x[i] == y[i]) << "block " << i << " differs (0 is the header)";
}

// Two lists of TargetData (QVector or std::vector) agree exactly.
template <typename A, typename B> void expectSameTargets(const A& a, const B& b)
{
    ASSERT_EQ(size_t(a.size()), size_t(b.size()));
    for (int k = 0; k < int(a.size()); ++k) {
        EXPECT_EQ(a[k].number, b[k].number);
        EXPECT_EQ(a[k].elevation, b[k].elevation);
        EXPECT_EQ(a[k].azimuth, b[k].azimuth);
        EXPECT_EQ(a[k].distance, b[k].distance);
        EXPECT_EQ(a[k].velocity, b[k].velocity);
        EXPECT_EQ(a[k].confirmed, b[k].confirmed);
    }
}

} // namespace trklib::test
