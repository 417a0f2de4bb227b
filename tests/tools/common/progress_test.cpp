#include "tools/common/cli/progress.h"

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

} // namespace
} // namespace trklib::cli
