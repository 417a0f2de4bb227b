#pragma once

#include "input/radarpacketdata.h"

#include <gtest/gtest.h>

#include <cstring>

namespace trklib::test {

// Bytewise equality of two arrays, so that NaN entries compare equal too.
template <typename T>::testing::AssertionResult sameArray(const QVector<T>& a, const QVector<T>& b)
{
    if (a.size() != b.size())
        return ::testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size();
    if (a.isEmpty() || std::memcmp(a.constData(), b.constData(), sizeof(T) * size_t(a.size())) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "contents differ";
}

// Every header field and every array entry of two packets agree.
inline void expectSamePacket(const RadarPacketData& a, const RadarPacketData& b)
{
    EXPECT_EQ(a.sync, b.sync);
    EXPECT_EQ(a.version, b.version);
    EXPECT_EQ(a.headerSize, b.headerSize);
    EXPECT_EQ(a.info08, b.info08);
    EXPECT_EQ(a.info10, b.info10);
    EXPECT_EQ(a.info11, b.info11);
    EXPECT_EQ(a.timestamp, b.timestamp);
    EXPECT_EQ(a.info20, b.info20);
    EXPECT_EQ(a.info24, b.info24);
    EXPECT_EQ(a.info28, b.info28);
    EXPECT_EQ(a.info29, b.info29);
    EXPECT_EQ(a.info30, b.info30);
    EXPECT_EQ(a.info31, b.info31);
    EXPECT_EQ(a.info32, b.info32);
    EXPECT_EQ(a.info36, b.info36);
    EXPECT_EQ(a.info40, b.info40);
    EXPECT_EQ(a.info41, b.info41);
    EXPECT_EQ(a.info42, b.info42);
    EXPECT_EQ(a.info44, b.info44);
    EXPECT_TRUE(sameArray(a.amplitude, b.amplitude)) << "amplitude";
    EXPECT_TRUE(sameArray(a.relVelocity, b.relVelocity)) << "relVelocity";
    EXPECT_TRUE(sameArray(a.distance, b.distance)) << "distance";
    EXPECT_TRUE(sameArray(a.elevation, b.elevation)) << "elevation";
    EXPECT_TRUE(sameArray(a.azimuth, b.azimuth)) << "azimuth";
    EXPECT_TRUE(sameArray(a.phaseDiff, b.phaseDiff)) << "phaseDiff";
}

} // namespace trklib::test
