#pragma once

#include "sensormodel.h"

#include "interface/targettrackinginterface.h"

#include <QMap>
#include <QString>
#include <QVector>

namespace trklib::sim::test {

// One row of the simulator's truth file, the columns the tests need.
struct TruthRow
{
    qint64 packet = 0;
    qint64 timestampMs = 0;
    int id = 0;
    QString kind;
    double x = 0.0;
    double y = 0.0;
    int cell = 0;
};

// The rows of a truth CSV; empty when the file is missing or has another header.
QVector<TruthRow> readTruthCsv(const QString& path);
TruthRow truthRow(qint64 packet, qint64 timestampMs, const Sighting& sighting);

// Where a reported target stands on the ground: its elevation is the
// depression of the ground point under it, which gives the horizontal range.
void groundPosition(const TargetData& target, const Mounting& mounting, double& x, double& y);

// How well the confirmed targets of a run follow the objects of the truth.
struct ObjectScore
{
    int id = 0;
    QString kind;
    qint64 firstPacket = -1;
    qint64 packetsInBeam = 0;
    qint64 firstTrackedPacket = -1; // first packet with a confirmed target near it
    qint64 packetsTracked = 0;
};

class TrackScore
{
public:
    TrackScore(const Mounting& mounting, double toleranceM)
        : mounting_(mounting), toleranceM_(toleranceM)
    {}

    // The truth rows and the reported targets of one packet.
    void add(const QVector<TruthRow>& truth, const QVector<TargetData>& targets);

    const QMap<int, ObjectScore>& objects() const { return objects_; }
    int confirmedReports() const { return confirmedReports_; }
    // Confirmed targets with no object of the truth near them.
    int ghosts() const { return ghosts_; }

private:
    Mounting mounting_;
    double toleranceM_;
    QMap<int, ObjectScore> objects_;
    int confirmedReports_ = 0;
    int ghosts_ = 0;
};

} // namespace trklib::sim::test
