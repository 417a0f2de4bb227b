#include "asterixout.h"

#include "eventlog.h"

#include "tools/common/cat010.h"
#include "util/groundposition.h"

#include <cerrno>
#include <cmath>
#include <cstring>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace trklib::trackd {

namespace {

constexpr double fullTurnDeg = 360.0;
constexpr double radToDeg = 180.0 / M_PI;

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

AsterixOut::AsterixOut(const site::SiteConfig& site, const site::GeoReference* geo)
    : site_(site), geo_(geo)
{}

AsterixOut::~AsterixOut()
{
    if (socket_ >= 0)
        ::close(socket_);
}

bool AsterixOut::open(QString& error)
{
    const site::Destination& to = site_.asterix.cat010;
    const bool v6 = to.address.protocol() == QAbstractSocket::IPv6Protocol;
    socket_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socket_ < 0) {
        error = QStringLiteral("[asterix] cat010: cannot open a UDP socket: %1").arg(systemError());
        return false;
    }
    sockaddr_storage address{};
    socklen_t size = 0;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&address);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(to.port);
        const Q_IPV6ADDR bytes = to.address.toIPv6Address();
        std::memcpy(&a->sin6_addr, bytes.c, sizeof bytes.c);
        size = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&address);
        a->sin_family = AF_INET;
        a->sin_port = htons(to.port);
        a->sin_addr.s_addr = htonl(to.address.toIPv4Address());
        size = sizeof *a;
    }
    // Connected: every send goes there, and the kernel resolves the route once.
    if (::connect(socket_, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
        error = QStringLiteral("[asterix] cat010: cannot send to %1: %2")
                    .arg(to.toString(), systemError());
        return false;
    }
    return true;
}

void AsterixOut::send(int radar, std::int64_t receivedMs, const QVector<TargetData>& targets)
{
    const site::RadarEntry& entry = site_.radars[radar];
    QVector<asterix::RadarTargetReport> reports;
    reports.reserve(targets.size());
    for (const TargetData& t : targets) {
        if (!t.confirmed)
            continue;
        const util::GroundPoint onSite =
            util::sitePosition(util::groundPosition(t, entry.mounting), entry.placement);
        asterix::RadarTargetReport r;
        r.number = t.number;
        r.confirmed = true;
        r.receivedMs = receivedMs;
        r.eastM = onSite.x - entry.placement.x;
        r.northM = onSite.y - entry.placement.y;
        r.groundRangeM = std::hypot(r.eastM, r.northM);
        r.bearingDeg = std::atan2(r.eastM, r.northM) * radToDeg;
        if (r.bearingDeg < 0.0)
            r.bearingDeg += fullTurnDeg;
        if (geo_)
            r.position = geo_->toGeodetic(onSite.x, onSite.y);
        reports.append(r);
    }
    const asterix::DataSource source{std::uint8_t(site_.asterix.sac), std::uint8_t(entry.sic)};
    const std::uint64_t clampedBefore = clamped_.total();
    for (const QByteArray& block : asterix::cat010Datagrams(source, reports, clamped_)) {
        if (::send(socket_, block.constData(), std::size_t(block.size()), MSG_DONTWAIT) ==
            block.size())
            ++datagrams_;
        else
            ++dropped_;
    }
    if (!saidClamped_ && clamped_.total() > clampedBefore) {
        saidClamped_ = true;
        logEvent(Priority::Warning,
                 QStringLiteral("[asterix] cat010: radar %1: a value lies outside its item's "
                                "range and is sent clamped to the nearest end (said once)")
                     .arg(entry.name));
    }
}

} // namespace trklib::trackd
