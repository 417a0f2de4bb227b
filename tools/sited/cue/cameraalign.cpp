#include "tools/sited/cue/cameraalign.h"

#include "util/units.h"

#include <algorithm>
#include <cmath>

namespace trklib::sited::cue {

using util::degPerRad;
using util::fullTurnDeg;
using util::radPerDeg;

namespace {

// A point nearer the camera than this on the ground has no bearing, metres.
constexpr double minGroundM = 1.0;

// The angle between two directions given by bearing and elevation, degrees.
double angleBetweenDeg(double bearingA, double elevA, double bearingB, double elevB)
{
    const double a = bearingA * radPerDeg, ea = elevA * radPerDeg;
    const double b = bearingB * radPerDeg, eb = elevB * radPerDeg;
    const double dot = std::cos(ea) * std::cos(eb) * std::cos(a - b) + std::sin(ea) * std::sin(eb);
    return std::acos(std::clamp(dot, -1.0, 1.0)) * degPerRad;
}

} // namespace

bool alignCamera(const site::CameraEntry& camera, const QVector<SurveyPoint>& points,
                 CameraAlignment& out, QString& error)
{
    if (points.size() < minAlignPoints) {
        error = QStringLiteral("camera %1: %2 points, at least %3 needed")
                    .arg(camera.name)
                    .arg(points.size())
                    .arg(minAlignPoints);
        return false;
    }
    QVector<double> bearings, elevations;
    for (const SurveyPoint& p : points) {
        const double dx = p.xM - camera.xM, dy = p.yM - camera.yM;
        const double ground = std::hypot(dx, dy);
        if (ground < minGroundM) {
            error = QStringLiteral("camera %1: point (%2, %3) is under the camera")
                        .arg(camera.name)
                        .arg(p.xM)
                        .arg(p.yM);
            return false;
        }
        bearings.append(std::atan2(dx, dy) * degPerRad);
        elevations.append(std::atan2(p.zM - camera.heightM, ground) * degPerRad);
    }

    // The bearings' spread: the widest angle from their circular mean.
    double sumSin = 0.0, sumCos = 0.0;
    for (double b : bearings) {
        sumSin += std::sin(b * radPerDeg);
        sumCos += std::cos(b * radPerDeg);
    }
    const double meanBearing = std::atan2(sumSin, sumCos) * degPerRad;
    double spread = 0.0;
    for (double b : bearings)
        spread = std::max(spread, 2.0 * std::abs(std::remainder(b - meanBearing, fullTurnDeg)));
    if (spread < minAlignSpreadDeg) {
        error = QStringLiteral("camera %1: the points lie within %2 degrees of one bearing, "
                               "at least %3 needed")
                    .arg(camera.name)
                    .arg(spread, 0, 'f', 1)
                    .arg(minAlignSpreadDeg);
        return false;
    }

    // Each point's offsets: its bearing is heading + offset + pan, its
    // elevation tilt offset + offset + tilt.
    double panSin = 0.0, panCos = 0.0, tiltSum = 0.0;
    for (int i = 0; i < points.size(); ++i) {
        const double pan = bearings[i] - camera.headingDeg - points[i].panDeg;
        panSin += std::sin(pan * radPerDeg);
        panCos += std::cos(pan * radPerDeg);
        tiltSum += elevations[i] - camera.tiltOffsetDeg - points[i].tiltDeg;
    }
    out.panOffsetDeg = std::atan2(panSin, panCos) * degPerRad;
    out.tiltOffsetDeg = tiltSum / points.size();
    out.points = points.size();

    double sumSq = 0.0;
    for (int i = 0; i < points.size(); ++i) {
        const double bearing = camera.headingDeg + out.panOffsetDeg + points[i].panDeg;
        const double elevation = camera.tiltOffsetDeg + out.tiltOffsetDeg + points[i].tiltDeg;
        const double miss = angleBetweenDeg(bearing, elevation, bearings[i], elevations[i]);
        sumSq += miss * miss;
    }
    out.rmsDeg = std::sqrt(sumSq / points.size());
    error.clear();
    return true;
}

} // namespace trklib::sited::cue
