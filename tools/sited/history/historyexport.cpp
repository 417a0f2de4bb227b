#include "tools/sited/history/historyexport.h"

#include "tools/sited/history/historyapi.h"

#include "tools/common/service/jsonwriter.h"

namespace trklib::sited::history {

namespace {

void appendOptional(QByteArray& out, const std::optional<double>& v)
{
    if (v)
        service::appendNumber(out, *v);
}

QByteArray csv(const QVector<ObjectRow>& rows)
{
    QByteArray out = "id,time,x,y,lat,lon,vx,vy,speed,heading,confirmed,class\n";
    for (const ObjectRow& o : rows) {
        service::appendInteger(out, o.id);
        out.append(',');
        service::appendInteger(out, o.timeMs);
        for (const std::optional<double>& v :
             {std::optional<double>(o.x), std::optional<double>(o.y), o.lat, o.lon,
              std::optional<double>(o.vx), std::optional<double>(o.vy),
              std::optional<double>(o.speed), o.heading}) {
            out.append(',');
            appendOptional(out, v);
        }
        out.append(o.confirmed ? ",true," : ",false,");
        out.append(className(o.objectClass)).append('\n');
    }
    return out;
}

} // namespace

bool parseExportFormat(const QString& text, ExportFormat& format)
{
    if (text == QLatin1String("geojson"))
        format = ExportFormat::GeoJson;
    else if (text == QLatin1String("csv"))
        format = ExportFormat::Csv;
    else
        return false;
    return true;
}

bool exportTracks(Store& store, std::int64_t fromMs, std::int64_t toMs, ExportFormat format,
                  QIODevice& out, QString& error)
{
    if (fromMs > toMs) {
        error = QStringLiteral("export: from is after to");
        return false;
    }
    QVector<ObjectRow> rows;
    if (!store.tracks({fromMs, toMs, std::nullopt}, rows, error))
        return false;
    const QByteArray data =
        format == ExportFormat::GeoJson ? tracksGeoJson(rows) + '\n' : csv(rows);
    if (out.write(data) != data.size()) {
        error = QStringLiteral("export: %1").arg(out.errorString());
        return false;
    }
    return true;
}

} // namespace trklib::sited::history
