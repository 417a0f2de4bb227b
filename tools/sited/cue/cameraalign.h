#pragma once

#include "tools/common/site/siteconfig.h"

#include <QString>
#include <QVector>

// A camera's pan and tilt zeros found from surveyed points: for each, the
// camera's own pan and tilt that centre it. What the site file's heading
// and tilt offset lack.
namespace trklib::sited::cue {

// A surveyed point of the site and the camera's pointing that centres it.
struct SurveyPoint
{
    double xM = 0.0; // metres east of the site's origin
    double yM = 0.0; // metres north
    double zM = 0.0; // metres above the site's ground
    double panDeg = 0.0;
    double tiltDeg = 0.0;
};

struct CameraAlignment
{
    double panOffsetDeg = 0.0;  // to add to headingDeg, degrees clockwise
    double tiltOffsetDeg = 0.0; // to add to tiltOffsetDeg, degrees up
    double rmsDeg = 0.0;        // the points' pointing misses after it, degrees
    int points = 0;
};

// At least this many points, spread over at least this many degrees of
// bearing from the camera.
constexpr int minAlignPoints = 3;
constexpr double minAlignSpreadDeg = 5.0; // degrees

// The offsets by least squares: the pan offset as the circular mean of
// each point's, the tilt offset as the mean of each point's, the miss as
// the root mean square over the points of the angle between where each
// lies and where the corrected camera points for it. False with a one-line
// error for too few points, a point under the camera or points all at one
// bearing.
bool alignCamera(const site::CameraEntry& camera, const QVector<SurveyPoint>& points,
                 CameraAlignment& out, QString& error);

} // namespace trklib::sited::cue
