#pragma once

#include "tools/common/site/siteconfig.h"
#include "tools/sited/cue/cuecontroller.h"

#include <QString>
#include <QVector>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

// The site's cameras over ONVIF, from a thread of their own: sited's
// picture loop is no Qt event loop, the network's replies need one. The
// loop hands moves to the thread (ports()), the thread hands back what
// each camera is (live()), under a lock. A camera that fails to start is
// started again after a back-off that doubles; one that answers again
// after a failure is online again. Needs a QCoreApplication (its thread's
// event loop does), which need not run.
namespace trklib::sited::cue {

// One camera as last heard from.
struct CameraLive
{
    bool online = false;
    QString problem; // the last failure's line while not online, else empty
    // The position it reported, in the generic spaces, and when (ms since
    // the epoch); none before the first.
    std::optional<Normalised> position;
    std::int64_t positionMs = 0;
    std::int64_t commands = 0; // motion commands sent
    std::int64_t errors = 0;   // requests that failed
};

class CameraRig
{
public:
    // Its position is asked this often while a camera is ready (ms).
    static constexpr int statusPeriodMs = 200;
    // A camera that failed to start is started again after this, doubled
    // after each failure up to the longest (ms).
    static constexpr int firstRetryMs = 2000;
    static constexpr int longestRetryMs = 60000;

    // Called on the rig's thread: a camera online ("camera gate: online,
    // profile main") and failed ("camera gate: the device refused the
    // password"), each line once per change.
    using Log = std::function<void(bool failed, const QString& line)>;

    CameraRig(const QVector<site::CameraEntry>& cameras, Log log);
    ~CameraRig();

    CameraRig(const CameraRig&) = delete;
    CameraRig& operator=(const CameraRig&) = delete;

    // A port per camera, for the controller: a move goes to the camera's
    // thread; one made before the camera is ready is sent once it is.
    QVector<PtzPort*> ports() const;
    QVector<CameraLive> live() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace trklib::sited::cue
