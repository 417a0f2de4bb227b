#pragma once

#include "tools/common/siteconfig.h"

#include <QString>

#include <cstdint>

// sited without a broker: a capture of the site's radars tracked and fused
// with the capture's clock, so that a run can be repeated and scored.
namespace trklib::sited {

struct OfflineRun
{
    std::int64_t packets = 0;  // radar packets tracked, every radar
    std::int64_t pictures = 0; // lines written to the output
    std::uint64_t lateMessages = 0;
};

// Tracks every radar's datagrams in the capture (told apart as trackd tells
// them apart: port, bind address, sender) with the library, fuses them with
// the capture's frame times as the clock, rate pictures a second from the
// first radar packet's time, and writes one picture per line to output;
// when tracksOutput is not empty, every radar's tracks messages as trackd
// would publish them, one per line, in the order fused. Outputs are written
// whole or not at all. False with a one-line error ("cap.pcap: ...").
bool runOffline(const site::SiteConfig& config, const QString& capture, const QString& output,
                const QString& tracksOutput, OfflineRun& run, QString& error);

} // namespace trklib::sited
