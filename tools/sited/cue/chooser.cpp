#include "tools/sited/cue/chooser.h"

#include "tools/sited/cue/aim.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace trklib::sited::cue {

namespace {

double groundDistanceM(const site::CameraEntry& camera, const SiteObject& object)
{
    return std::hypot(object.xM - camera.xM, object.yM - camera.yM);
}

const SiteObject* findObject(const Picture& picture, std::int64_t id)
{
    // The picture's objects are by id.
    auto it =
        std::lower_bound(picture.objects.begin(), picture.objects.end(), id,
                         [](const SiteObject& o, std::int64_t wanted) { return o.id < wanted; });
    return it != picture.objects.end() && it->id == id ? &*it : nullptr;
}

// Open alarms newest first; of alarms raised at once, the higher id first.
QVector<CueAlarm> openNewestFirst(const QVector<CueAlarm>& alarms)
{
    QVector<CueAlarm> open;
    for (const CueAlarm& a : alarms) {
        if (!a.acknowledged)
            open.append(a);
    }
    std::sort(open.begin(), open.end(), [](const CueAlarm& a, const CueAlarm& b) {
        return a.raisedMs != b.raisedMs ? a.raisedMs > b.raisedMs : a.alarmId > b.alarmId;
    });
    return open;
}

} // namespace

QString CueChoice::why() const
{
    switch (reason) {
    case CueReason::Alarm:
        return QStringLiteral("alarm %1").arg(alarmId);
    case CueReason::Followed:
        return QStringLiteral("followed");
    case CueReason::Watch:
        return QStringLiteral("watch");
    case CueReason::Operator:
        return QStringLiteral("operator");
    case CueReason::Home:
        break;
    }
    return QStringLiteral("home");
}

bool inReach(const site::CameraEntry& camera, double xM, double yM)
{
    if (std::hypot(xM - camera.xM, yM - camera.yM) > camera.reachM)
        return false;
    if (pansRound(camera))
        return true;
    const double pan = pointAt(camera, xM, yM, 0.0).panDeg;
    return pan >= camera.panMinDeg && pan <= camera.panMaxDeg;
}

QVector<CueChoice> choose(const QVector<site::CameraEntry>& cameras, const Picture& picture,
                          const QVector<CueAlarm>& alarms, const OperatorChoices& choices,
                          const QSet<std::int64_t>& watched)
{
    const int n = cameras.size();
    QVector<CueChoice> out(n);
    QVector<bool> free(n, true);
    for (int c = 0; c < n; ++c) {
        if (choices.takenOver.contains(c)) {
            out[c].reason = CueReason::Operator;
            free[c] = false;
        }
    }
    auto take = [&](int c, std::int64_t objectId, CueReason reason, std::int64_t alarmId = 0) {
        out[c] = {objectId, reason, alarmId};
        free[c] = false;
    };
    auto reaches = [&](int c, const SiteObject& o) { return inReach(cameras[c], o.xM, o.yM); };

    // Alarms, newest first, each to the nearest free camera in reach.
    QSet<std::int64_t> cued;
    for (const CueAlarm& alarm : openNewestFirst(alarms)) {
        const SiteObject* object = findObject(picture, alarm.objectId);
        if (!object || cued.contains(alarm.objectId))
            continue;
        int best = -1;
        double bestM = std::numeric_limits<double>::infinity();
        for (int c = 0; c < n; ++c) {
            const double d = groundDistanceM(cameras[c], *object);
            if (free[c] && reaches(c, *object) && d < bestM) {
                best = c;
                bestM = d;
            }
        }
        if (best >= 0) {
            take(best, alarm.objectId, CueReason::Alarm, alarm.alarmId);
            cued.insert(alarm.objectId);
        }
    }

    // The operators' choices.
    for (int c = 0; c < n; ++c) {
        if (!free[c] || !choices.followed.contains(c))
            continue;
        const SiteObject* object = findObject(picture, choices.followed.value(c));
        if (object && reaches(c, *object)) {
            take(c, object->id, CueReason::Followed);
            cued.insert(object->id);
        }
    }

    // The nearest watched object in reach, one no other camera follows
    // before one that another does.
    for (int c = 0; c < n; ++c) {
        if (!free[c])
            continue;
        const SiteObject* best = nullptr;
        auto better = [&](const SiteObject& o) {
            if (!best)
                return true;
            const bool oCued = cued.contains(o.id), bestCued = cued.contains(best->id);
            if (oCued != bestCued)
                return !oCued;
            return groundDistanceM(cameras[c], o) < groundDistanceM(cameras[c], *best);
        };
        for (const SiteObject& o : picture.objects) {
            if (watched.contains(o.id) && reaches(c, o) && better(o))
                best = &o;
        }
        if (best) {
            take(c, best->id, CueReason::Watch);
            cued.insert(best->id);
        }
    }
    return out;
}

} // namespace trklib::sited::cue
