#include "tools/sited/align/aligner.h"

namespace trklib::sited::align {

struct Aligner::Private
{
    Settings settings;
    QVector<Change> changes;
};

Aligner::Aligner(const Settings& settings) : d(std::make_unique<Private>())
{
    d->settings = settings;
}

Aligner::~Aligner() = default;

void Aligner::add(const CoSighting&) {}

QVector<RadarEstimate> Aligner::estimate(std::int64_t)
{
    QVector<RadarEstimate> out;
    for (int r = 0; r < d->settings.radars.size(); ++r) {
        RadarEstimate e;
        e.radar = r;
        e.why = QStringLiteral("shares no objects with the other radars");
        out.append(e);
    }
    return out;
}

QVector<Aligner::Change> Aligner::takeChanges()
{
    QVector<Change> taken;
    taken.swap(d->changes);
    return taken;
}

} // namespace trklib::sited::align
