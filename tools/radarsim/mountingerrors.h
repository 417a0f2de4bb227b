#pragma once

#include "interface/targettrackinginterface.h"
#include "util/groundposition.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// Radars that are not mounted where the site file says: how far each one's
// true mounting lies from its entry, read from a file of [radar.NAME]
// sections, and written back beside the truth of a run.
namespace trklib::sim {

// A radar's true mounting less the site file's: its true heading, pan and
// tilt are the file's plus these, its true place the file's x and y plus
// xM and yM, and every distance it reports is rangeM longer than the true
// one.
struct MountingError
{
    double headingDeg = 0.0; // clockwise, as the heading
    double panDeg = 0.0;
    double tiltDeg = 0.0;
    double xM = 0.0; // east
    double yM = 0.0; // north
    double rangeM = 0.0;

    bool operator==(const MountingError& other) const;
};

// Errors by radar name; a radar not named has none.
using MountingErrors = QMap<QString, MountingError>;

// The largest error of each kind the file may give, either way.
constexpr double maxHeadingErrorDeg = 30.0; // also of the pan
constexpr double maxTiltErrorDeg = 10.0;
constexpr double maxPlaceErrorM = 50.0;
constexpr double maxRangeErrorM = 20.0;

// Reads the text of an errors file for a site of the given radars: one
// [radar.NAME] section per radar at most, with the keys heading, pan and
// tilt (degrees), x, y and range (metres), each optional and 0 unless
// given. Whole lines and the rest of a line after '#' or ';' are comments.
// False with a one-line error naming the line ("4: [radar.east] heading:
// ..."): an unknown radar or key, a value that is not a number or out of
// bounds, a section or key given twice.
bool parseMountingErrors(const QByteArray& text, const QStringList& radars, MountingErrors& errors,
                         QString& error);

// The same for a file; the error starts with the file's name.
bool loadMountingErrors(const QString& path, const QStringList& radars, MountingErrors& errors,
                        QString& error);

// The text of an errors file for every radar of the site, in the given
// order, every key written, zeros included, after a comment that says
// what the file is.
QByteArray mountingErrorsText(const QString& site, const QStringList& radars,
                              const MountingErrors& errors);

// Where a radar truly stands and how it is truly mounted: its site file's
// placement and mounting with the error added.
util::RadarPlacement truePlacement(const util::RadarPlacement& filed, const MountingError& error);
RadarConfig trueMounting(const RadarConfig& filed, const MountingError& error);

} // namespace trklib::sim
