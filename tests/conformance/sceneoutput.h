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
// Same kind and field count; integers exactly, target doubles to 1e-9
// relative (1e-9 absolute near zero), validation values to 1e-6 relative;
// NaN equals NaN and an infinity equals an infinity of the same sign.
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
