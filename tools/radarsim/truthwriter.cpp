#include "truthwriter.h"

#include "util/units.h"

namespace trklib::sim {

namespace {

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

bool TruthWriter::open(const QString& path, QString& error, const char* headerLine)
{
    out_.setDevice(nullptr);
    path_ = path;
    error_.clear();
    if (!file_.open(path)) {
        error = QStringLiteral("cannot write %1: %2").arg(path, file_.errorString());
        return false;
    }
    out_.setDevice(file_.device());
    out_ << headerLine << '\n';
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
                             fixed(util::groundSpeedKph(o.vx, o.vy), 3),
                             fixed(s.sight.radialMps * util::kphPerMps, 3),
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

void TruthWriter::writeRow(const QString& row)
{
    if (file_.isOpen())
        out_ << row << '\n';
}

bool TruthWriter::flush()
{
    if (file_.isOpen() && error_.isEmpty()) {
        out_.flush();
        const bool streamed = out_.status() == QTextStream::Ok;
        if (!file_.flush())
            fail(file_.errorString());
        else if (!streamed)
            fail(QStringLiteral("write error"));
    }
    return error_.isEmpty();
}

bool TruthWriter::commit()
{
    const bool flushed = flush();
    out_.setDevice(nullptr);
    if (!flushed)
        file_.discard();
    else if (!file_.commit())
        fail(file_.errorString());
    return error_.isEmpty();
}

void TruthWriter::fail(const QString& reason)
{
    error_ = QStringLiteral("cannot write %1: %2").arg(path_, reason);
}

} // namespace trklib::sim
