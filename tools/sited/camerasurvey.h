#pragma once

#include "tools/sited/cue/cameraalign.h"

#include "tools/common/site/siteconfig.h"

#include <QString>
#include <QVector>

// sited --align-camera: a camera's surveyed points read from a file, and
// its site-file keys corrected by the offsets they give.
namespace trklib::sited {

// The points of a file, a line each: "x y z pan tilt" (metres, the site's;
// degrees, as the camera shows them), blank lines and lines from '#' left
// out. False with "FILE:LINE: ..." for a line that is not five numbers.
bool readSurveyPoints(const QString& path, QVector<cue::SurveyPoint>& points, QString& error);

// What --align-camera prints: a comment line with the offsets and the
// residual, then the section's corrected heading and tilt_offset, to copy
// into the site file.
QString cameraAlignmentKeys(const site::CameraEntry& camera, const cue::CameraAlignment& found);

} // namespace trklib::sited
