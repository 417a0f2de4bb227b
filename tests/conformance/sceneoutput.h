#pragma once

#include "input/wireformat.h"
#include "interface/targettrackinginterface.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

namespace trklib::test {

// The mounting of a scene's config file: one line
// "tilt,pan,height,panOffset,orientation". False when it is not that.
bool parseSceneConfig(const QByteArray& text, RadarConfig& config);

// The library's output for a scene's packets.bin: every packet offered as
// its seven datagrams to one assembler and, for every packet it completes,
// the P line, then the T lines of one engine's targets and the V lines of
// its validation records (the validation records taken first). Numbers
// with 17 significant digits, which read back as the same double.
QList<QByteArray> replayScene(const QByteArray& packets, const RadarConfig& config);

// Compares two output lines field by field:
//   P <packet> <timestamp> <targets> <records>
//   T <number> <elevation> <azimuth> <distance> <velocity> <confirmed 0|1>
//   V <index> <elevation> <azimuth> <distance> <velocity>
// Same kind and field count; integers exactly, every other number to its
// last bit, the sign of a zero included; NaN equals NaN of the same sign.
bool linesMatch(const QByteArray& expected, const QByteArray& actual);

struct SceneComparison
{
    QMap<char, int> expected; // lines per kind
    QMap<char, int> matched;
    int mismatches = 0; // unmatched expected lines plus extra produced lines
    QString firstMismatch;
};

// Compares the n-th non-empty line of the expected text with the n-th
// produced line.
SceneComparison compareScene(const QByteArray& expectedText, const QList<QByteArray>& actual);

} // namespace trklib::test
