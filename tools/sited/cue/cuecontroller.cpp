#include "tools/sited/cue/cuecontroller.h"

#include "util/units.h"

#include <algorithm>

namespace trklib::sited::cue {

namespace {

struct Camera
{
    site::CameraEntry entry;
    PtzPort* port = nullptr;
    CueCameraState state;
    std::optional<Command> last;
    // The latest reported position, and when.
    std::optional<Pointing> reported;
    std::int64_t reportedMs = 0;
    // The object followed as last seen, and the picture's time then.
    SiteObject seen;
    std::int64_t seenMs = 0;
};

const SiteObject* findObject(const Picture& picture, std::int64_t id)
{
    for (const SiteObject& o : picture.objects) {
        if (o.id == id)
            return &o;
    }
    return nullptr;
}

} // namespace

struct CueController::Private
{
    QVector<Camera> cameras;
    std::optional<std::int64_t> lastUpdateMs;

    void send(Camera& c, const Pointing& p, std::int64_t objectId, std::int64_t nowMs)
    {
        const Normalised n = normalised(c.entry, p);
        if (c.port)
            c.port->absoluteMove(n.pan, n.tilt, n.zoom);
        c.last = Command{p, nowMs, objectId};
        ++c.state.commands;
    }

    // Where the camera is: as reported since the last command, else where
    // the last command sends it, else home.
    static Pointing current(const Camera& c)
    {
        if (c.reported && (!c.last || c.reportedMs >= c.last->timeMs))
            return *c.reported;
        if (c.last)
            return c.last->pointing;
        return homeOf(c.entry);
    }

    void goHome(Camera& c, std::int64_t nowMs)
    {
        c.state.objectId = 0;
        c.state.coasting = false;
        if (!c.state.home)
            send(c, homeOf(c.entry), 0, nowMs);
        c.state.home = true;
    }

    // How far past the slew the aim leads, seconds: a moving object enters
    // the view behind its centre and leaves ahead of it, so that it crosses
    // the centre between two commands. Half the time it takes to cross half
    // the central outer band, at most half the deadband's hold, at least
    // half the time between updates.
    double aheadS(const Camera& c, const Pointing& from, std::int64_t nowMs, double intervalS) const
    {
        const Pointing now = lead(c.entry, from, c.seen, c.seenMs, nowMs).pointing;
        const Pointing later = lead(c.entry, from, c.seen, c.seenMs, nowMs, 1.0).pointing;
        const double sharePerS = Deadband::offsetShare(c.entry, now, later);
        double ahead = 0.5 * double(Deadband::holdMs) * util::sPerMs;
        if (sharePerS > 0.0)
            ahead = std::min(ahead, 0.5 * (0.5 * Deadband::outerShare) / sharePerS);
        return std::max(ahead, 0.5 * intervalS);
    }

    // The target led, and as it will be at the next update, for the deadband.
    void follow(Camera& c, std::int64_t nowMs, double intervalS)
    {
        const Pointing from = current(c);
        const double ahead = aheadS(c, from, nowMs, intervalS);
        const Lead target = lead(c.entry, from, c.seen, c.seenMs, nowMs, ahead);
        const Lead next = lead(c.entry, from, c.seen, c.seenMs, nowMs, ahead + intervalS);
        if (Deadband::wanted(c.entry, c.last, target.pointing, next.pointing, c.seen.id, nowMs))
            send(c, target.pointing, c.seen.id, nowMs);
        c.state.objectId = c.seen.id;
        c.state.home = false;
    }

    void update(Camera& c, const Picture& picture, const CueChoice& choice, std::int64_t nowMs,
                double intervalS)
    {
        if (c.state.takenOver || choice.reason == CueReason::Operator)
            return;
        const SiteObject* chosen = choice.objectId ? findObject(picture, choice.objectId) : nullptr;
        if (chosen) {
            c.seen = *chosen;
            c.seenMs = picture.timeMs;
            c.state.coasting = false;
            follow(c, nowMs, intervalS);
            return;
        }
        // The object followed is gone from the picture (the chooser then
        // gives home, or another object it cannot see either): its
        // prediction for homeAfterS.
        const bool lost = c.state.objectId && !findObject(picture, c.state.objectId);
        const double lostS = double(nowMs - c.seenMs) * util::sPerMs;
        if (lost && lostS <= c.entry.homeAfterS) {
            c.state.coasting = true;
            follow(c, nowMs, intervalS);
            return;
        }
        goHome(c, nowMs);
    }
};

CueController::CueController(const QVector<site::CameraEntry>& cameras,
                             const QVector<PtzPort*>& ports)
    : d(std::make_unique<Private>())
{
    for (int i = 0; i < cameras.size(); ++i) {
        Camera c;
        c.entry = cameras[i];
        c.port = i < ports.size() ? ports[i] : nullptr;
        d->cameras.append(c);
    }
}

CueController::~CueController() = default;

void CueController::update(const Picture& picture, const QVector<CueChoice>& choices,
                           std::int64_t nowMs)
{
    double intervalS = 0.0;
    if (d->lastUpdateMs)
        intervalS = std::clamp(double(nowMs - *d->lastUpdateMs) * util::sPerMs, 0.0, maxIntervalS);
    d->lastUpdateMs = nowMs;
    for (int i = 0; i < d->cameras.size(); ++i)
        d->update(d->cameras[i], picture, i < choices.size() ? choices[i] : CueChoice{}, nowMs,
                  intervalS);
}

void CueController::takeOver(int camera)
{
    if (camera >= 0 && camera < d->cameras.size())
        d->cameras[camera].state.takenOver = true;
}

void CueController::giveBack(int camera)
{
    if (camera < 0 || camera >= d->cameras.size())
        return;
    Camera& c = d->cameras[camera];
    c.state.takenOver = false;
    // The operator moved it: whatever comes next is commanded afresh.
    c.last.reset();
    c.state.home = false;
}

void CueController::reportPosition(int camera, double pan, double tilt, double zoom,
                                   std::int64_t timeMs)
{
    if (camera < 0 || camera >= d->cameras.size())
        return;
    Camera& c = d->cameras[camera];
    c.reported = fromNormalised(c.entry, {pan, tilt, zoom});
    c.reportedMs = timeMs;
}

CueCameraState CueController::state(int camera) const
{
    if (camera < 0 || camera >= d->cameras.size())
        return {};
    return d->cameras[camera].state;
}

} // namespace trklib::sited::cue
