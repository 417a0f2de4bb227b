#include "asterixout.h"

#include "eventlog.h"

#include "tools/common/encoders/cat010.h"
#include "tools/common/encoders/udpdestination.h"
#include "util/groundposition.h"
#include "util/units.h"

#include <cerrno>
#include <cmath>
#include <cstring>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace trklib::trackd {

AsterixOut::AsterixOut(const site::SiteConfig& site, const site::GeoReference* geo)
    : site_(site), geo_(geo), counts_(std::make_unique<Counts[]>(site.radars.size()))
{}

AsterixOut::~AsterixOut()
{
    if (socket_ >= 0)
        ::close(socket_);
}

bool AsterixOut::open(QString& error)
{
    socket_ = encoders::openUdpDestination(site_.asterix.cat010, QStringLiteral("[asterix] cat010"),
                                           error);
    return socket_ >= 0;
}

void AsterixOut::send(int radar, std::int64_t receivedMs, const QVector<TargetData>& targets)
{
    const site::RadarEntry& entry = site_.radars[radar];
    QVector<encoders::asterix::RadarTargetReport> reports;
    reports.reserve(targets.size());
    for (const TargetData& t : targets) {
        if (!t.confirmed)
            continue;
        const util::GroundPoint onSite =
            util::sitePosition(util::groundPosition(t, entry.mounting), entry.placement);
        encoders::asterix::RadarTargetReport r;
        r.number = t.number;
        r.confirmed = true;
        r.receivedMs = receivedMs;
        r.eastM = onSite.x - entry.placement.x;
        r.northM = onSite.y - entry.placement.y;
        r.groundRangeM = std::hypot(r.eastM, r.northM);
        r.bearingDeg = std::atan2(r.eastM, r.northM) * util::degPerRad;
        if (r.bearingDeg < 0.0)
            r.bearingDeg += util::fullTurnDeg;
        if (geo_)
            r.position = geo_->toGeodetic(onSite.x, onSite.y);
        reports.append(r);
    }
    const encoders::asterix::DataSource source{std::uint8_t(site_.asterix.sac),
                                               std::uint8_t(entry.sic)};
    const std::uint64_t clampedBefore = clamped_.total();
    Counts& counts = counts_[radar];
    for (const QByteArray& block : encoders::asterix::cat010Datagrams(source, reports, clamped_)) {
        if (::send(socket_, block.constData(), std::size_t(block.size()), MSG_DONTWAIT) !=
            block.size())
            ++counts.dropped;
    }
    counts.clamped += clamped_.total() - clampedBefore;
    if (!saidClamped_ && clamped_.total() > clampedBefore) {
        saidClamped_ = true;
        logEvent(Priority::Warning,
                 QStringLiteral("[asterix] cat010: radar %1: a value lies outside its item's "
                                "range and is sent clamped to the nearest end (said once)")
                     .arg(entry.name));
    }
}

} // namespace trklib::trackd
