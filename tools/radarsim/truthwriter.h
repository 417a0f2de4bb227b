#pragma once

#include "tools/common/cli/outputfiles.h"
#include "tools/common/sim/sensormodel.h"

#include <QString>
#include <QTextStream>

namespace trklib::sim {

// The ground truth as CSV: one row per object that the radar sees, per packet.
// Columns: packet, timestamp (ms), id, kind, x, y, z (ground frame, m), vx, vy
// (m/s), speed_kph, radial_kph (positive receding), distance (slant, m),
// elevation and azimuth (degrees off the boresight: minus tilt, minus pan),
// cell (signed Doppler bin). The file appears when commit() succeeds; until
// then, and when the writer is destroyed uncommitted, an existing file keeps
// its contents (see cli::OutputFile). "-" writes to standard output.
class TruthWriter
{
public:
    static const char* header();

    // False with a message in error when the file cannot be written. The
    // header line is header() unless another table (a site's) is written.
    bool open(const QString& path, QString& error, const char* headerLine = header());
    bool isOpen() const { return file_.isOpen(); }
    // Standard output, a device or a pipe: no file of its own.
    bool writesDirectly() const { return file_.writesDirectly(); }
    void write(qint64 packet, qint64 timestampMs, const QVector<Sighting>& sightings);
    // One row of another table, without the line end.
    void writeRow(const QString& row);
    // Hands the buffered rows to the file. False when anything written
    // could not reach it (errorString() says why).
    bool flush();
    // Flushes, closes and puts the file in its place; false as flush() is.
    bool commit();
    QString errorString() const { return error_; }

    // One row without the line end.
    static QString row(qint64 packet, qint64 timestampMs, const Sighting& sighting);

private:
    void fail(const QString& reason);

    cli::OutputFile file_;
    QTextStream out_;
    QString path_;
    QString error_;
};

} // namespace trklib::sim
