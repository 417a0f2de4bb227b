#pragma once

#include "tools/common/site/siteconfig.h"
#include "tools/sited/fusion/picture.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QVector>

#include <cstdint>

// Which object each camera of the site follows, chosen for all cameras at
// once on each picture: alarms first, newest first, each to the nearest
// free camera that reaches its object; then the operators' choices; then
// the objects in zones marked for watching; else home.
namespace trklib::sited::cue {

// An open alarm on an object, as the zones' alarms give it.
struct CueAlarm
{
    std::int64_t alarmId = 0;
    std::int64_t objectId = 0;
    std::int64_t raisedMs = 0; // ms since the epoch
    bool acknowledged = false;
};

// What operators chose: the object a camera is to follow, and the cameras
// they drive by hand (cueing leaves those alone). Cameras by index into the
// site's cameras.
struct OperatorChoices
{
    QHash<int, std::int64_t> followed; // camera → object id
    QSet<int> takenOver;
};

enum class CueReason
{
    Home,
    Alarm,
    Followed,
    Watch,
    Operator
};

// One camera's choice.
struct CueChoice
{
    std::int64_t objectId = 0; // 0: none (home, or the operator's)
    CueReason reason = CueReason::Home;
    std::int64_t alarmId = 0; // the alarm's, for CueReason::Alarm

    // "alarm 12", "followed", "watch", "home", "operator".
    QString why() const;
};

// Whether the camera reaches the site point: within its reach on the
// ground and, for a camera that does not pan round, within its pan range.
bool inReach(const site::CameraEntry& camera, double xM, double yM);

// Every camera's choice on the picture, by camera. Alarms whose object is
// not in the picture are passed over; an object already cued for a newer
// alarm takes no second camera for an older one.
QVector<CueChoice> choose(const QVector<site::CameraEntry>& cameras, const Picture& picture,
                          const QVector<CueAlarm>& alarms, const OperatorChoices& choices,
                          const QSet<std::int64_t>& watched);

} // namespace trklib::sited::cue
