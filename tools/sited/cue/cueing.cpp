#include "tools/sited/cue/cueing.h"

#include "tools/sited/cue/aim.h"

#include "tools/common/service/jsonwriter.h"
#include "util/units.h"

#include <cmath>

namespace trklib::sited::cue {

using service::appendInteger;
using service::appendNumber;
using service::appendString;

CameraDesk::CameraDesk(const QVector<site::CameraEntry>& cameras)
{
    for (const site::CameraEntry& camera : cameras)
        names_ << camera.name;
}

bool CameraDesk::act(const QString& camera, Action action, std::optional<std::int64_t> object,
                     int& status, QString& why)
{
    const int i = names_.indexOf(camera);
    if (i < 0) {
        status = 404;
        why = QStringLiteral("no camera %1").arg(camera);
        return false;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    switch (action) {
    case Action::TakeOver:
        choices_.takenOver.insert(i);
        break;
    case Action::GiveBack:
        choices_.takenOver.remove(i);
        break;
    case Action::Follow:
        if (object)
            choices_.followed.insert(i, *object);
        else
            choices_.followed.remove(i);
        break;
    }
    return true;
}

OperatorChoices CameraDesk::choices() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return choices_;
}

Cueing::Cueing(const QVector<site::CameraEntry>& cameras, const QVector<PtzPort*>& ports)
    : cameras_(cameras), controller_(cameras, ports), choices_(cameras.size()),
      reportedMs_(cameras.size(), 0), commandsBefore_(cameras.size(), 0)
{}

void Cueing::picture(const Picture& picture, const QVector<CueAlarm>& alarms,
                     const QSet<std::int64_t>& watched, const OperatorChoices& choices,
                     const QVector<CameraLive>& live, std::int64_t nowMs)
{
    for (int i = 0; i < cameras_.size() && i < live.size(); ++i) {
        const CameraLive& l = live[i];
        if (l.position && l.positionMs != reportedMs_[i]) {
            controller_.reportPosition(i, l.position->pan, l.position->tilt, l.position->zoom,
                                       l.positionMs);
            reportedMs_[i] = l.positionMs;
        }
    }
    for (int i = 0; i < cameras_.size(); ++i) {
        const bool taken = choices.takenOver.contains(i);
        if (taken && !takenOver_.contains(i))
            controller_.takeOver(i);
        else if (!taken && takenOver_.contains(i))
            controller_.giveBack(i);
    }
    takenOver_ = choices.takenOver;
    const QVector<CueChoice> chosen = choose(cameras_, picture, alarms, choices, watched);
    controller_.update(picture, chosen, nowMs);
    for (int i = 0; i < cameras_.size(); ++i) {
        // A lost object's prediction is followed for the reason it was.
        if (chosen[i].reason != CueReason::Home || !controller_.state(i).objectId)
            choices_[i] = chosen[i];
    }
}

QVector<CameraStatus> Cueing::status(const QVector<CameraLive>& live, std::int64_t nowMs)
{
    const double elapsedS = statusMs_ ? double(nowMs - *statusMs_) * util::sPerMs : 0.0;
    statusMs_ = nowMs;
    QVector<CameraStatus> out;
    for (int i = 0; i < cameras_.size(); ++i) {
        const site::CameraEntry& camera = cameras_[i];
        CameraStatus s;
        s.name = camera.name;
        s.live = live.value(i);
        s.xM = camera.xM;
        s.yM = camera.yM;
        s.reachM = camera.reachM;
        if (s.live.position) {
            const Pointing p = fromNormalised(camera, *s.live.position);
            s.bearingDeg = std::remainder(camera.headingDeg + p.panDeg, 360.0);
            if (*s.bearingDeg < 0.0)
                *s.bearingDeg += 360.0;
            s.fovDeg = p.fovDeg;
        }
        const CueCameraState state = controller_.state(i);
        s.following = state.takenOver ? 0 : state.objectId;
        s.takenOver = state.takenOver;
        s.why = s.takenOver ? QStringLiteral("operator") : choices_[i].why();
        const std::int64_t commands = s.live.commands;
        if (elapsedS > 0.0)
            s.commandsPerS = double(commands - commandsBefore_[i]) / elapsedS;
        commandsBefore_[i] = commands;
        out.append(s);
    }
    return out;
}

QByteArray camerasJson(const QVector<CameraStatus>& cameras)
{
    // Degrees and rates to a hundredth: what a page or a person reads.
    const auto hundredths = [](double value) { return std::round(value * 100.0) / 100.0; };
    const auto optional = [&](QByteArray& out, const std::optional<double>& value) {
        if (value)
            appendNumber(out, hundredths(*value));
        else
            out.append("null");
    };
    QByteArray out("{");
    for (int i = 0; i < cameras.size(); ++i) {
        const CameraStatus& c = cameras[i];
        if (i > 0)
            out.append(',');
        appendString(out, c.name);
        out.append(":{\"online\":").append(c.live.online ? "true" : "false");
        out.append(",\"problem\":");
        if (c.live.online || c.live.problem.isEmpty())
            out.append("null");
        else
            appendString(out, c.live.problem);
        out.append(",\"x_m\":");
        appendNumber(out, c.xM);
        out.append(",\"y_m\":");
        appendNumber(out, c.yM);
        out.append(",\"bearing_deg\":");
        optional(out, c.bearingDeg);
        out.append(",\"fov_deg\":");
        optional(out, c.fovDeg);
        out.append(",\"reach_m\":");
        appendNumber(out, c.reachM);
        out.append(",\"following\":");
        if (c.following)
            appendInteger(out, c.following);
        else
            out.append("null");
        out.append(",\"why\":");
        appendString(out, c.why);
        out.append(",\"taken_over\":").append(c.takenOver ? "true" : "false");
        out.append(",\"commands\":");
        appendInteger(out, c.live.commands);
        out.append(",\"commands_per_s\":");
        appendNumber(out, hundredths(c.commandsPerS));
        out.append(",\"errors\":");
        appendInteger(out, c.live.errors);
        out.append('}');
    }
    out.append('}');
    return out;
}

} // namespace trklib::sited::cue
