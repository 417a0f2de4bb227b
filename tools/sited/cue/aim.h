#pragma once

#include "tools/common/site/siteconfig.h"
#include "tools/sited/fusion/picture.h"

#include <cstdint>
#include <optional>

// Where a PTZ camera points for a point of the site: its own pan and tilt,
// the zoom that frames an object, the time a move takes, where a moving
// object will be once the camera is there, and when a new command is worth
// sending at all.
namespace trklib::sited::cue {

// A camera's view in its own terms: pan from pan zero (clockwise
// positive), tilt from tilt zero (up positive), and the horizontal field
// of view, all degrees.
struct Pointing
{
    double panDeg = 0.0;
    double tiltDeg = 0.0;
    double fovDeg = 0.0;
};

// The same in ONVIF's generic spaces: pan and tilt -1..1 over the camera's
// ranges, zoom 0..1 from the widest view to the narrowest.
struct Normalised
{
    double pan = 0.0;
    double tilt = 0.0;
    double zoom = 0.0;
};

// A camera whose pan range is a full turn (or more) pans either way round.
bool pansRound(const site::CameraEntry& camera);

// The pan and tilt that centre the site point (x, y metres east and north
// of the site's origin, z metres above its ground), at the widest view. The
// pan is the one within the camera's pan range where one is, else the
// nearest to it.
Pointing pointAt(const site::CameraEntry& camera, double xM, double yM, double zM);

// The home pointing, at the widest view.
Pointing homeOf(const site::CameraEntry& camera);

// A pointing in the generic spaces, each value clamped to its space, and
// back (fovDeg from the zoom).
Normalised normalised(const site::CameraEntry& camera, const Pointing& pointing);
Pointing fromNormalised(const site::CameraEntry& camera, const Normalised& value);

// The size by which an object of a class is framed: its width and the
// height of its centre above the ground, metres.
struct ClassSize
{
    double widthM;
    double centreM;
};
ClassSize classSize(ObjectClass objectClass);

// The field of view, degrees, in which an object widthM wide at slantM
// fills the camera's share `fill` of the width, within the camera's range.
double fovFor(const site::CameraEntry& camera, double widthM, double slantM);

// The pointing that centres and frames an object of a class at (x, y).
Pointing frame(const site::CameraEntry& camera, double xM, double yM, ObjectClass objectClass);

// Degrees the camera pans from one pan to another: the shorter way round
// for a camera that pans round, else straight within its range.
double panTravelDeg(const site::CameraEntry& camera, double fromDeg, double toDeg);

// Seconds from a command until the camera points at `to`: its latency,
// then pan and tilt at their full speeds at once.
double slewTimeS(const site::CameraEntry& camera, const Pointing& from, const Pointing& to);

// The pointing that meets a moving object, and the seconds until it does.
struct Lead
{
    Pointing pointing;
    double leadS = 0.0; // from nowMs until the camera points there
    double xM = 0.0;    // where the object is then, metres
    double yM = 0.0;
};

// Where to point now (nowMs) from `current` to meet the object, whose
// state holds at objectTimeMs: its place after the slew time t it takes to
// get there, t found by fixed-point steps, and aheadS more so that the
// object passes the centre before the next command.
Lead lead(const site::CameraEntry& camera, const Pointing& current, const SiteObject& object,
          std::int64_t objectTimeMs, std::int64_t nowMs, double aheadS = 0.0);

// The last command sent to a camera.
struct Command
{
    Pointing pointing;
    std::int64_t timeMs = 0;   // when it was sent, ms since the epoch
    std::int64_t objectId = 0; // what it followed; 0: home
};

// When a new target is worth a command. Offsets are shares of the last
// command's view, in pan (across) and tilt (up) each:
// - a new object, or no command yet: at once;
// - the target outside the central outerShare of the view, or about to
//   leave it (the target as it will be at the next update, `next`, outside
//   it): at once;
// - outside the central innerShare, or the field of view changed by more
//   than zoomChange: at most once per holdMs;
// - else nothing.
struct Deadband
{
    static constexpr double innerShare = 0.10;     // central 10 % of the view
    static constexpr double outerShare = 0.20;     // central 20 %
    static constexpr double zoomChange = 0.20;     // relative change of the field of view
    static constexpr std::int64_t holdMs = 1000;   // ms between commands within the band
    static constexpr double viewAspect = 9.0 / 16; // the view's height over its width

    // The larger of the target's pan and tilt offsets from the command's
    // centre, as shares of the command's view's width and height.
    static double offsetShare(const site::CameraEntry& camera, const Pointing& commanded,
                              const Pointing& target);
    static bool wanted(const site::CameraEntry& camera, const std::optional<Command>& last,
                       const Pointing& target, const Pointing& next, std::int64_t objectId,
                       std::int64_t nowMs);
};

} // namespace trklib::sited::cue
