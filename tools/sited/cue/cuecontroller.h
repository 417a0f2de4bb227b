#pragma once

#include "tools/common/site/siteconfig.h"
#include "tools/sited/cue/aim.h"
#include "tools/sited/cue/chooser.h"
#include "tools/sited/fusion/picture.h"

#include <QVector>

#include <cstdint>
#include <memory>
#include <optional>

// Each camera driven over time: on each picture, the chooser's object led
// and framed, and a move sent when the deadband wants one; an object lost
// from the picture followed along its prediction for the camera's
// homeAfterS, then the camera sent home.
namespace trklib::sited::cue {

// Where the controller's moves go: one camera's absolute move, in the
// generic spaces (pan, tilt -1..1; zoom 0..1).
class PtzPort
{
public:
    virtual ~PtzPort() = default;
    virtual void absoluteMove(double pan, double tilt, double zoom) = 0;
};

// What one camera does now, for its status.
struct CueCameraState
{
    std::int64_t objectId = 0; // the object it follows; 0: none
    bool home = false;         // it was sent home (and nothing since)
    bool takenOver = false;    // an operator drives it
    bool coasting = false;     // its object is lost; it follows the prediction
    std::int64_t commands = 0; // moves sent since the controller was made
};

class CueController
{
public:
    // ports by camera index, each outliving the controller; a null port
    // leaves its camera uncommanded.
    CueController(const QVector<site::CameraEntry>& cameras, const QVector<PtzPort*>& ports);
    ~CueController();

    CueController(const CueController&) = delete;
    CueController& operator=(const CueController&) = delete;

    // One picture, the chooser's choice for each camera (by index; missing
    // ones are home), the time now, ms since the epoch.
    void update(const Picture& picture, const QVector<CueChoice>& choices, std::int64_t nowMs);

    // An operator drives the camera: nothing is sent to it until it is
    // given back; then it is commanded afresh on the next update.
    void takeOver(int camera);
    void giveBack(int camera);

    // The camera's position as it reports it, in the generic spaces.
    void reportPosition(int camera, double pan, double tilt, double zoom, std::int64_t timeMs);

    CueCameraState state(int camera) const;

    // The time between updates counts this much at most, seconds: the aim
    // leads past the slew by half of it, the deadband looks one ahead.
    static constexpr double maxIntervalS = 0.5;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace trklib::sited::cue
