#pragma once

#include "tools/common/encoders/asterix.h"
#include "tools/common/site/georeference.h"
#include "tools/common/site/siteconfig.h"

#include "interface/targettrackinginterface.h"

#include <QString>
#include <QVector>

#include <atomic>
#include <cstdint>
#include <memory>

namespace trklib::trackd {

// trackd's ASTERIX output: every confirmed target of each radar packet as a
// category 010 target report, in data blocks of one datagram each, to the
// site's [asterix] cat010 destination. Used from the reception thread:
// sending never waits (a datagram the socket cannot take at once is
// dropped and counted).
class AsterixOut
{
public:
    AsterixOut(const site::SiteConfig& site, const site::GeoReference* geo);
    ~AsterixOut();

    AsterixOut(const AsterixOut&) = delete;
    AsterixOut& operator=(const AsterixOut&) = delete;

    // Opens the socket; false with a one-line error.
    bool open(QString& error);
    // The confirmed targets of one packet of radar (index into the site's
    // radars), received at receivedMs (ms since the epoch, UTC).
    void send(int radar, std::int64_t receivedMs, const QVector<TargetData>& targets);

    // Of radar's records since the start, from any thread: the values sent
    // clamped to their item's range, and the datagrams dropped.
    std::uint64_t clamped(int radar) const { return counts_[radar].clamped; }
    std::uint64_t dropped(int radar) const { return counts_[radar].dropped; }

private:
    struct Counts
    {
        std::atomic<std::uint64_t> clamped{0};
        std::atomic<std::uint64_t> dropped{0};
    };

    const site::SiteConfig& site_;
    const site::GeoReference* geo_;
    int socket_ = -1;
    encoders::asterix::ClampCounts clamped_; // the reception thread's, by field
    bool saidClamped_ = false;
    std::unique_ptr<Counts[]> counts_; // by radar
};

} // namespace trklib::trackd
