#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

namespace trklib::test {

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
