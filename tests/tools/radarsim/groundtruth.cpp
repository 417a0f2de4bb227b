#include "groundtruth.h"

#include "truthwriter.h"

#include <QFile>
#include <QTextStream>

#include <cmath>

namespace trklib::sim::test {

namespace {
double radians(double deg)
{
    return deg * M_PI / 180.0;
}
} // namespace

QVector<TruthRow> readTruthCsv(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QTextStream in(&file);
    if (in.readLine() != QLatin1String(TruthWriter::header()))
        return {};
    QVector<TruthRow> rows;
    while (!in.atEnd()) {
        const QStringList f = in.readLine().split(QLatin1Char(','));
        if (f.size() != 15)
            return {};
        TruthRow r;
        r.packet = f[0].toLongLong();
        r.timestampMs = f[1].toLongLong();
        r.id = f[2].toInt();
        r.kind = f[3];
        r.x = f[4].toDouble();
        r.y = f[5].toDouble();
        r.cell = f[14].toInt();
        rows.append(r);
    }
    return rows;
}

TruthRow truthRow(qint64 packet, qint64 timestampMs, const Sighting& s)
{
    TruthRow r;
    r.packet = packet;
    r.timestampMs = timestampMs;
    r.id = s.object.id;
    r.kind = kindName(s.object.kind);
    r.x = s.object.x;
    r.y = s.object.y;
    r.cell = s.cell;
    return r;
}

void groundPosition(const TargetData& t, const Mounting& m, double& x, double& y)
{
    const double depressionDeg = -(t.elevation + m.tiltDeg);
    const double rangeM = m.heightM / std::tan(radians(depressionDeg));
    const double azimuthDeg = (m.orientation == 1 ? -t.azimuth : t.azimuth) + m.panDeg;
    x = rangeM * std::cos(radians(azimuthDeg));
    y = rangeM * std::sin(radians(azimuthDeg));
}

void TrackScore::add(const QVector<TruthRow>& truth, const QVector<TargetData>& targets)
{
    QVector<double> xs;
    QVector<double> ys;
    for (const TargetData& t : targets) {
        if (!t.confirmed)
            continue;
        double x = 0.0;
        double y = 0.0;
        groundPosition(t, mounting_, x, y);
        xs.append(x);
        ys.append(y);
        ++confirmedReports_;
        bool nearObject = false;
        for (const TruthRow& r : truth)
            nearObject = nearObject || std::hypot(x - r.x, y - r.y) <= toleranceM_;
        if (!nearObject)
            ++ghosts_;
    }
    for (const TruthRow& r : truth) {
        ObjectScore& o = objects_[r.id];
        if (o.firstPacket < 0) {
            o.id = r.id;
            o.kind = r.kind;
            o.firstPacket = r.packet;
        }
        ++o.packetsInBeam;
        bool tracked = false;
        for (int i = 0; i < xs.size(); ++i)
            tracked = tracked || std::hypot(xs[i] - r.x, ys[i] - r.y) <= toleranceM_;
        if (tracked) {
            ++o.packetsTracked;
            if (o.firstTrackedPacket < 0)
                o.firstTrackedPacket = r.packet;
        }
    }
}

} // namespace trklib::sim::test
