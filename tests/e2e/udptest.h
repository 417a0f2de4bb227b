#pragma once

#include "interface/targettrackinginterface.h"
#include "support/packetassert.h"
#include "support/udpsender.h"

namespace trklib::test {

// Loose bounds on the socket's one-second wait for a datagram, and on an
// answer "at once", with room for a busy machine.
constexpr qint64 immediateMs = 500;
constexpr qint64 waitLowMs = 900;
constexpr qint64 waitHighMs = 3000;

// Base of the tests that bind the radar port: another process holding it
// would turn every read into a failure, so say that plainly up front.
class UdpTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(UdpSender::radarPortFree()) << "UDP port 34567 is held by another process";
    }

    UdpSender sender_;
};

} // namespace trklib::test
