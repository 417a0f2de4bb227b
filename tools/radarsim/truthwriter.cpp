#include "truthwriter.h"

#include <cmath>

namespace trklib::sim {

namespace {
constexpr double kphPerMps = 3.6;

QString fixed(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}
} // namespace

const char* TruthWriter::header()
{
    return "packet,timestamp,id,kind,x,y,z,vx,vy,speed_kph,radial_kph,distance,elevation,azimuth,"
           "cell";
}

bool TruthWriter::open(const QString& path, QString& error)
{
    close();
    error_.clear();
    file_.setFileName(path);
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        error = QStringLiteral("cannot write %1: %2").arg(path, file_.errorString());
        return false;
    }
    out_.setDevice(&file_);
    out_ << header() << '\n';
    return true;
}

QString TruthWriter::row(qint64 packet, qint64 timestampMs, const Sighting& s)
{
    const ObjectState& o = s.object;
    const QStringList fields{QString::number(packet),
                             QString::number(timestampMs),
                             QString::number(o.id),
                             kindName(o.kind),
                             fixed(o.x, 3),
                             fixed(o.y, 3),
                             fixed(o.z, 3),
                             fixed(o.vx, 3),
                             fixed(o.vy, 3),
                             fixed(std::hypot(o.vx, o.vy) * kphPerMps, 3),
                             fixed(s.sight.radialMps * kphPerMps, 3),
                             fixed(s.sight.distanceM, 3),
                             fixed(s.sight.offElevationDeg, 4),
                             fixed(s.sight.offAzimuthDeg, 4),
                             QString::number(s.cell)};
    return fields.join(QLatin1Char(','));
}

void TruthWriter::write(qint64 packet, qint64 timestampMs, const QVector<Sighting>& sightings)
{
    if (!file_.isOpen())
        return;
    for (const Sighting& s : sightings)
        out_ << row(packet, timestampMs, s) << '\n';
}

bool TruthWriter::close()
{
    if (file_.isOpen()) {
        out_.flush();
        const bool written = out_.status() == QTextStream::Ok && file_.flush();
        out_.setDevice(nullptr);
        if (!written)
            error_ =
                QStringLiteral("cannot write %1: %2").arg(file_.fileName(), file_.errorString());
        file_.close();
    }
    return error_.isEmpty();
}

} // namespace trklib::sim
