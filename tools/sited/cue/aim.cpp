#include "tools/sited/cue/aim.h"

#include "util/units.h"

#include <algorithm>
#include <cmath>

namespace trklib::sited::cue {

using util::degPerRad;
using util::fullTurnDeg;
using util::radPerDeg;

namespace {

// Objects by class, indexed by ObjectClass: width and centre height, metres.
constexpr ClassSize classSizes[objectClassCount] = {
    {0.6, 0.9},  // person
    {1.8, 0.8},  // two-wheeler
    {4.5, 0.75}, // car
    {10.0, 1.7}, // truck or bus
    {1.0, 0.5},  // animal
    {2.0, 0.9},  // unknown
};

// The fixed-point steps of the lead: at most this many, until the lead time
// moves by less than leadToleranceS; and never more than maxLeadS ahead
// (an object faster than the camera is never met, only approached).
constexpr int maxLeadSteps = 8;
constexpr double leadToleranceS = 0.001; // seconds
constexpr double maxLeadS = 5.0;         // seconds

// Nearer than this on the ground, the bearing means nothing: pan stays 0.
constexpr double minGroundM = 0.01; // metres

double halfTan(double fovDeg)
{
    return std::tan(0.5 * fovDeg * radPerDeg);
}

// v in lo..hi mapped to -1..1, clamped.
double toUnit(double v, double lo, double hi)
{
    if (hi <= lo)
        return 0.0;
    return std::clamp(-1.0 + 2.0 * (v - lo) / (hi - lo), -1.0, 1.0);
}

double fromUnit(double u, double lo, double hi)
{
    return lo + 0.5 * (std::clamp(u, -1.0, 1.0) + 1.0) * (hi - lo);
}

// How far pan lies outside the camera's pan range, degrees; 0 within.
double outsidePanRange(const site::CameraEntry& camera, double panDeg)
{
    return std::max({camera.panMinDeg - panDeg, panDeg - camera.panMaxDeg, 0.0});
}

} // namespace

bool pansRound(const site::CameraEntry& camera)
{
    return camera.panMaxDeg - camera.panMinDeg >= fullTurnDeg;
}

Pointing pointAt(const site::CameraEntry& camera, double xM, double yM, double zM)
{
    const double dx = xM - camera.xM, dy = yM - camera.yM;
    const double ground = std::hypot(dx, dy);
    Pointing p;
    p.fovDeg = camera.wideFovDeg;
    const double bearingDeg =
        ground < minGroundM ? camera.headingDeg : std::atan2(dx, dy) * degPerRad;
    // Of the pan's turns, the one within the range, else the nearest to it.
    const double pan = std::remainder(bearingDeg - camera.headingDeg, fullTurnDeg);
    p.panDeg = pan;
    for (double turn : {pan - fullTurnDeg, pan + fullTurnDeg}) {
        if (outsidePanRange(camera, turn) < outsidePanRange(camera, p.panDeg))
            p.panDeg = turn;
    }
    p.tiltDeg = std::atan2(zM - camera.heightM, ground) * degPerRad - camera.tiltOffsetDeg;
    return p;
}

Pointing homeOf(const site::CameraEntry& camera)
{
    return {camera.homePanDeg, camera.homeTiltDeg, camera.wideFovDeg};
}

Normalised normalised(const site::CameraEntry& camera, const Pointing& pointing)
{
    Normalised n;
    double pan = pointing.panDeg;
    if (pansRound(camera))
        pan = camera.panMinDeg +
              std::fmod(std::fmod(pan - camera.panMinDeg, fullTurnDeg) + fullTurnDeg, fullTurnDeg);
    n.pan = toUnit(pan, camera.panMinDeg, camera.panMaxDeg);
    n.tilt = toUnit(pointing.tiltDeg, camera.tiltMinDeg, camera.tiltMaxDeg);
    // The focal length is linear in zoom, and inversely proportional to
    // tan(fov / 2): tan(wide/2) / tan(fov/2) = 1 + zoom (k - 1).
    const double k = halfTan(camera.wideFovDeg) / halfTan(camera.narrowFovDeg);
    if (k > 1.0 && pointing.fovDeg > 0.0) {
        const double ratio = halfTan(camera.wideFovDeg) / halfTan(pointing.fovDeg);
        n.zoom = std::clamp((ratio - 1.0) / (k - 1.0), 0.0, 1.0);
    }
    return n;
}

Pointing fromNormalised(const site::CameraEntry& camera, const Normalised& value)
{
    Pointing p;
    p.panDeg = fromUnit(value.pan, camera.panMinDeg, camera.panMaxDeg);
    p.tiltDeg = fromUnit(value.tilt, camera.tiltMinDeg, camera.tiltMaxDeg);
    const double k = halfTan(camera.wideFovDeg) / halfTan(camera.narrowFovDeg);
    const double zoom = std::clamp(value.zoom, 0.0, 1.0);
    p.fovDeg = 2.0 * std::atan(halfTan(camera.wideFovDeg) / (1.0 + zoom * (k - 1.0))) * degPerRad;
    return p;
}

ClassSize classSize(ObjectClass objectClass)
{
    return classSizes[int(objectClass)];
}

double fovFor(const site::CameraEntry& camera, double widthM, double slantM)
{
    if (slantM <= 0.0 || camera.fill <= 0.0)
        return camera.wideFovDeg;
    const double viewM = widthM / camera.fill;
    const double fov = 2.0 * std::atan(0.5 * viewM / slantM) * degPerRad;
    return std::clamp(fov, std::min(camera.narrowFovDeg, camera.wideFovDeg),
                      std::max(camera.narrowFovDeg, camera.wideFovDeg));
}

Pointing frame(const site::CameraEntry& camera, double xM, double yM, ObjectClass objectClass)
{
    const ClassSize size = classSize(objectClass);
    Pointing p = pointAt(camera, xM, yM, size.centreM);
    const double slant =
        std::hypot(std::hypot(xM - camera.xM, yM - camera.yM), size.centreM - camera.heightM);
    p.fovDeg = fovFor(camera, size.widthM, slant);
    return p;
}

double panTravelDeg(const site::CameraEntry& camera, double fromDeg, double toDeg)
{
    if (pansRound(camera))
        return std::abs(std::remainder(toDeg - fromDeg, fullTurnDeg));
    const double from = std::clamp(fromDeg, camera.panMinDeg, camera.panMaxDeg);
    const double to = std::clamp(toDeg, camera.panMinDeg, camera.panMaxDeg);
    return std::abs(to - from);
}

double slewTimeS(const site::CameraEntry& camera, const Pointing& from, const Pointing& to)
{
    const double panS = panTravelDeg(camera, from.panDeg, to.panDeg) / camera.panSpeedDegPerS;
    const double tiltS = std::abs(to.tiltDeg - from.tiltDeg) / camera.tiltSpeedDegPerS;
    return camera.latencyS + std::max(panS, tiltS);
}

Lead lead(const site::CameraEntry& camera, const Pointing& current, const SiteObject& object,
          std::int64_t objectTimeMs, std::int64_t nowMs, double aheadS)
{
    const double sinceS = double(nowMs - objectTimeMs) * util::sPerMs;
    Lead out;
    auto meet = [&](double t) {
        const double dt = sinceS + t + aheadS;
        out.xM = object.xM + object.vxMps * dt;
        out.yM = object.yM + object.vyMps * dt;
        out.pointing = frame(camera, out.xM, out.yM, object.objectClass);
        return std::min(slewTimeS(camera, current, out.pointing), maxLeadS);
    };
    double t = meet(0.0);
    for (int step = 0; step < maxLeadSteps; ++step) {
        const double next = meet(t);
        const bool settled = std::abs(next - t) < leadToleranceS;
        t = next;
        if (settled)
            break;
    }
    // The pointing is that of the last step's t.
    meet(t);
    out.leadS = t;
    return out;
}

double Deadband::offsetShare(const site::CameraEntry& camera, const Pointing& commanded,
                             const Pointing& target)
{
    // Pan degrees shrink across the view as the camera looks up or down.
    const double elevation = (commanded.tiltDeg + camera.tiltOffsetDeg) * radPerDeg;
    const double acrossDeg =
        std::abs(std::remainder(target.panDeg - commanded.panDeg, fullTurnDeg)) *
        std::cos(elevation);
    const double upDeg = std::abs(target.tiltDeg - commanded.tiltDeg);
    const double widthDeg = commanded.fovDeg;
    const double heightDeg = 2.0 * std::atan(halfTan(widthDeg) * viewAspect) * degPerRad;
    return std::max(acrossDeg / widthDeg, upDeg / heightDeg);
}

bool Deadband::wanted(const site::CameraEntry& camera, const std::optional<Command>& last,
                      const Pointing& target, const Pointing& next, std::int64_t objectId,
                      std::int64_t nowMs)
{
    if (!last || last->objectId != objectId)
        return true;
    // Within the central share s of the view: at most s/2 off its centre.
    const double offset = offsetShare(camera, last->pointing, target);
    if (std::max(offset, offsetShare(camera, last->pointing, next)) > 0.5 * outerShare)
        return true;
    const bool zoomed = std::abs(target.fovDeg / last->pointing.fovDeg - 1.0) > zoomChange;
    const bool drifted = offset > 0.5 * innerShare;
    return (drifted || zoomed) && nowMs - last->timeMs >= holdMs;
}

} // namespace trklib::sited::cue
