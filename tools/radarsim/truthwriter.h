#pragma once

#include "tools/common/sensormodel.h"

#include <QFile>
#include <QString>
#include <QTextStream>

namespace trklib::sim {

// The ground truth as CSV: one row per object that the radar sees, per packet.
// Columns: packet, timestamp (ms), id, kind, x, y, z (ground frame, m), vx, vy
// (m/s), speed_kph, radial_kph (positive receding), distance (slant, m),
// elevation and azimuth (degrees off the boresight: minus tilt, minus pan),
// cell (signed Doppler bin).
class TruthWriter
{
public:
    ~TruthWriter() { close(); }

    static const char* header();

    bool open(const QString& path, QString& error);
    bool isOpen() const { return file_.isOpen(); }
    void write(qint64 packet, qint64 timestampMs, const QVector<Sighting>& sightings);
    // Flushes and closes; false when anything written could not reach the
    // file (errorString() says why).
    bool close();
    QString errorString() const { return error_; }

    // One row without the line end.
    static QString row(qint64 packet, qint64 timestampMs, const Sighting& sighting);

private:
    QFile file_;
    QTextStream out_;
    QString error_;
};

} // namespace trklib::sim
