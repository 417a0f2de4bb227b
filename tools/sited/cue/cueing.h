#pragma once

#include "tools/common/site/siteconfig.h"
#include "tools/sited/cue/camerarig.h"
#include "tools/sited/cue/chooser.h"
#include "tools/sited/cue/cuecontroller.h"
#include "tools/sited/fusion/picture.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QVector>

#include <cstdint>
#include <mutex>
#include <optional>

// Cueing at work in the live service: the operators' hands on the cameras
// (from the API's threads), and on each picture the chooser's choice for
// every camera, which the controller turns into moves; each camera's
// status for the site's.
namespace trklib::sited::cue {

// What operators asked of the cameras, by name, from any thread.
class CameraDesk
{
public:
    explicit CameraDesk(const QVector<site::CameraEntry>& cameras);

    enum class Action
    {
        TakeOver,
        GiveBack,
        Follow // the object, or none to follow nothing
    };
    // False with a one-line reason and the status the API answers: 404 no
    // such camera.
    bool act(const QString& camera, Action action, std::optional<std::int64_t> object, int& status,
             QString& why);

    OperatorChoices choices() const;

private:
    QStringList names_;
    mutable std::mutex mutex_;
    OperatorChoices choices_;
};

// A camera in the site status.
struct CameraStatus
{
    QString name;
    CameraLive live;
    double xM = 0.0;
    double yM = 0.0;
    double reachM = 0.0;
    // Where its view looks now, degrees clockwise from north, and its
    // horizontal field of view, degrees; none before it reported a position.
    std::optional<double> bearingDeg;
    std::optional<double> fovDeg;
    std::int64_t following = 0; // 0: none
    QString why;                // CueChoice::why()
    bool takenOver = false;
    double commandsPerS = 0.0; // since the status before
};

class Cueing
{
public:
    // ports by camera index (CameraRig::ports()), outliving the stage.
    Cueing(const QVector<site::CameraEntry>& cameras, const QVector<PtzPort*>& ports);

    // One picture: the cameras' positions as last heard, the choices of the
    // alarms, the operators and the watched zones' occupants, and the moves.
    void picture(const Picture& picture, const QVector<CueAlarm>& alarms,
                 const QSet<std::int64_t>& watched, const OperatorChoices& choices,
                 const QVector<CameraLive>& live, std::int64_t nowMs);

    // Every camera as it stands, its commands per second since the last call.
    QVector<CameraStatus> status(const QVector<CameraLive>& live, std::int64_t nowMs);

private:
    QVector<site::CameraEntry> cameras_;
    CueController controller_;
    QVector<CueChoice> choices_;
    QSet<int> takenOver_;
    QVector<std::int64_t> reportedMs_;
    QVector<std::int64_t> commandsBefore_;
    std::optional<std::int64_t> statusMs_;
};

// "cameras": {NAME: {"online", "problem", "x_m", "y_m", "bearing_deg",
// "fov_deg", "reach_m", "following", "why", "taken_over", "commands",
// "commands_per_s", "errors"}} for the site status: problem null while
// online, bearing and fov null before a position, following null for none.
QByteArray camerasJson(const QVector<CameraStatus>& cameras);

} // namespace trklib::sited::cue
