#include "tools/common/cli/progress.h"
#include "tools/common/cli/text.h"

#include <gtest/gtest.h>

#include <string>

namespace trklib::cli {
namespace {

TEST(ProgressLine, SaysHowFarHowManyAndHowFast)
{
    const struct
    {
        qint64 bytesRead;
        qint64 fileBytes;
        qint64 packets;
        double seconds;
        const char* line;
    } cases[] = {
        {0, 999, 0, 0.0, "0% of 999 B read, 0 radar packets, 0 packets/s"},
        {450000000, 1000000000, 1, 2.5, "45% of 1.0 GB read, 1 radar packet, 0 packets/s"},
        {1300000, 12345678, 30000, 1.5,
         "10% of 12.3 MB read, 30000 radar packets, 20000 packets/s"},
        // libpcap reads ahead of the last frame; a file grows while read.
        {5000, 4000, 7, 1.0, "100% of 4.0 kB read, 7 radar packets, 7 packets/s"},
        {2500000000000000, 2500000000000000, 2, 1.0,
         "100% of 2500.0 TB read, 2 radar packets, 2 packets/s"},
        // No size to compare with.
        {1500000, 0, 20, 1.0, "1.5 MB read, 20 radar packets, 20 packets/s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(progressLine(c.bytesRead, c.fileBytes, c.packets, c.seconds).toStdString(),
                  std::string("trackreplay: ") + c.line);
    }
}

// The noun is plural for every count but one; counts past 32 bits stay
// whole.
TEST(Counted, PluralButForOne)
{
    const struct
    {
        qint64 count;
        const char* noun;
        const char* text;
    } cases[] = {
        {0, "radar", "0 radars"},
        {1, "radar", "1 radar"},
        {2, "radar", "2 radars"},
        {-1, "frame", "-1 frames"},
        {5000000000, "UDP datagram", "5000000000 UDP datagrams"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(counted(c.count, QString::fromUtf8(c.noun)).toStdString(), c.text);
}

} // namespace
} // namespace trklib::cli
