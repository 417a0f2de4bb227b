#include "fusion.h"

#include <QHash>

#include <algorithm>

// A first fusion that joins nothing: every radar track is an object of its
// own, kept while its radar's latest report holds it.
namespace trklib::sited {

struct Fusion::Private
{
    explicit Private(const site::SiteConfig& c) : config(c), latest(c.radars.size()) {}

    site::SiteConfig config;
    QVector<TracksReport> latest;      // by radar
    QHash<qint64, SiteObject> objects; // by radar << 32 | number
    std::int64_t nextId = 1;
    std::uint64_t late = 0;
};

Fusion::Fusion(const site::SiteConfig& config) : d(std::make_unique<Private>(config)) {}

Fusion::~Fusion() = default;

void Fusion::add(const TracksReport& report)
{
    if (report.radar < 0 || report.radar >= d->latest.size())
        return;
    TracksReport& latest = d->latest[report.radar];
    if (latest.radar >= 0 && report.receivedMs < latest.receivedMs) {
        ++d->late;
        return;
    }
    latest = report;
}

Picture Fusion::picture(std::int64_t timeMs)
{
    Picture picture;
    picture.timeMs = timeMs;
    QHash<qint64, SiteObject> kept;
    for (const TracksReport& report : qAsConst(d->latest)) {
        for (const RadarTrack& t : report.targets) {
            const qint64 key = (qint64(report.radar) << 32) | quint32(t.number);
            SiteObject o = d->objects.value(key);
            if (o.id == 0) {
                o.id = d->nextId++;
                o.sinceMs = timeMs;
            }
            o.xM = t.xM;
            o.yM = t.yM;
            o.confirmed = t.confirmed;
            o.radars = {ObjectRadar{report.radar, t.number}};
            kept.insert(key, o);
            picture.objects.append(o);
        }
    }
    d->objects = kept;
    std::sort(picture.objects.begin(), picture.objects.end(),
              [](const SiteObject& a, const SiteObject& b) { return a.id < b.id; });
    return picture;
}

std::uint64_t Fusion::lateMessages() const
{
    return d->late;
}

int Fusion::objectCount() const
{
    return d->objects.size();
}

} // namespace trklib::sited
