#pragma once

#include "interface/targettrackinginterface.h"

#include <QByteArray>
#include <QString>
#include <QVector>

namespace trklib::test {

// One line of a scene's output:
//   P <packet> <timestamp> <targets> <records>
//   T <number> <elevation> <azimuth> <distance> <velocity> <confirmed 0|1>
//   V <index> <elevation> <azimuth> <distance> <velocity>
struct OutputLine
{
    int lineNumber = 0; // 1-based line in the expected file; 0 for produced lines
    QByteArray text;

    char kind() const { return text.isEmpty() ? '\0' : text.at(0); }
};

// The lines of one packet: its P line, then its T lines, then its V lines.
struct PacketOutput
{
    qint64 number = -1; // the packet number of the P line; -1 for lines before any P line
    QVector<OutputLine> lines;
};

// Splits a scene's output text into packets, each starting at its P line.
// Empty lines are skipped.
QVector<PacketOutput> parseSceneOutput(const QByteArray& text);

QByteArray packetLine(qint64 number, qint64 timestamp, int targetCount, int recordCount);
QByteArray targetLine(const TargetData& target);
QByteArray validationLine(const ValidationData& record);

// Compares two lines number by number: same kind and field count, integers
// exactly, target doubles to 1e-9 relative (1e-9 absolute near zero),
// validation values to 1e-6 relative; NaN equals NaN and an infinity equals
// an infinity of the same sign.
bool linesMatch(const QByteArray& expected, const QByteArray& actual);

struct KindCount
{
    int expected = 0;
    int matched = 0;
};

struct SceneComparison
{
    KindCount packets;    // P lines
    KindCount targets;    // T lines
    KindCount validation; // V lines
    // Expected lines without a matching produced line, plus produced lines
    // that have no expected counterpart.
    int mismatches = 0;
    QString firstMismatch;
};

// Pairs packets by number and, within a packet, the n-th line of each kind
// with the n-th produced line of that kind.
SceneComparison compareSceneOutput(const QVector<PacketOutput>& expected,
                                   const QVector<PacketOutput>& actual);

} // namespace trklib::test
