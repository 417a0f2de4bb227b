#include "tools/sited/history/zonepreview.h"

#include "tools/sited/zones/zonemessages.h"

#include "tools/common/service/jsonwriter.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

namespace trklib::sited::history {

namespace {

constexpr std::int64_t msPerHour = 3600 * 1000;

// One set of zones at work over the recorded pictures.
class Side
{
public:
    Side(const QVector<zones::Zone>& zones, PreviewSide& out) : zones_(zones), out_(out)
    {
        out_.counts.fill({}, zones.size());
        restart();
    }

    // The rules as a starting sited has them: nothing seen yet.
    void restart() { rules_ = std::make_unique<zones::Rules>(zones_); }

    void evaluate(const Picture& picture, const QString& site, const site::GeoReference* geo)
    {
        for (const zones::Event& e : rules_->evaluate(picture)) {
            ++out_.counts[e.zone][int(e.kind)];
            ++out_.total;
            if (out_.events.size() < maxPreviewEvents)
                out_.events.append(zones::eventMessage(site, zones_[e.zone], e, geo));
        }
    }

private:
    const QVector<zones::Zone>& zones_;
    PreviewSide& out_;
    std::unique_ptr<zones::Rules> rules_;
};

Picture pictureOf(std::int64_t timeMs, const QVector<ObjectRow>& rows)
{
    Picture picture;
    picture.timeMs = timeMs;
    picture.objects.reserve(rows.size());
    for (const ObjectRow& row : rows) {
        SiteObject o;
        o.id = row.id;
        o.xM = row.x;
        o.yM = row.y;
        o.vxMps = row.vx;
        o.vyMps = row.vy;
        o.confirmed = row.confirmed;
        o.sinceMs = row.sinceMs;
        o.objectClass = row.objectClass;
        picture.objects.append(o);
    }
    return picture;
}

void appendSide(QByteArray& out, const PreviewSide& side, const QVector<zones::Zone>& zones)
{
    out.append("{\"events\":[");
    for (int i = 0; i < side.events.size(); ++i) {
        if (i > 0)
            out.append(',');
        out.append(side.events[i]);
    }
    out.append("],\"counts\":{");
    for (int z = 0; z < zones.size(); ++z) {
        if (z > 0)
            out.append(',');
        service::appendString(out, zones[z].name);
        out.append(":{");
        for (int k = 0; k < int(side.counts[z].size()); ++k) {
            out.append(k == 0 ? "\"" : ",\"");
            out.append(zones::eventName(zones::Event::Kind(k)));
            out.append("\":");
            service::appendInteger(out, side.counts[z][k]);
        }
        out.append('}');
    }
    out.append("},\"total\":");
    service::appendInteger(out, side.total);
    out.append('}');
}

Reply error(int status, const QString& why)
{
    Reply reply;
    reply.status = status;
    reply.body = "{\"error\":";
    service::appendString(reply.body, why);
    reply.body.append('}');
    return reply;
}

} // namespace

bool previewZones(SharedStore& store, const QString& site, const site::GeoReference* geo,
                  const QVector<zones::Zone>& current, const QVector<zones::Zone>& edited,
                  std::int64_t fromMs, std::int64_t toMs, ZonePreview& out, QString& error)
{
    out = ZonePreview();
    out.fromMs = fromMs;
    out.toMs = toMs;
    Side now(current, out.current);
    Side then(edited, out.edited);
    std::optional<std::int64_t> lastMs;
    const Store::PictureSink each = [&](std::int64_t timeMs, const QVector<ObjectRow>& rows) {
        if (lastMs && timeMs - *lastMs > previewGapMs) {
            now.restart();
            then.restart();
        }
        lastMs = timeMs;
        const Picture picture = pictureOf(timeMs, rows);
        now.evaluate(picture, site, geo);
        then.evaluate(picture, site, geo);
        ++out.pictures;
    };
    for (std::int64_t start = fromMs; start <= toMs; start += previewSpanMs) {
        const std::int64_t end = std::min(toMs, start + previewSpanMs - 1);
        if (!store.with([&](Store& s) { return s.pictures(start, end, each, error); }))
            return false;
    }
    return true;
}

QByteArray previewJson(const ZonePreview& preview, const QVector<zones::Zone>& current,
                       const QVector<zones::Zone>& edited)
{
    QByteArray out;
    out.append("{\"from\":");
    service::appendInteger(out, preview.fromMs);
    out.append(",\"to\":");
    service::appendInteger(out, preview.toMs);
    out.append(",\"pictures\":");
    service::appendInteger(out, preview.pictures);
    out.append(",\"current\":");
    appendSide(out, preview.current, current);
    out.append(",\"edited\":");
    appendSide(out, preview.edited, edited);
    out.append('}');
    return out;
}

Reply zonePreviewReply(ApiContext& c, const std::string& body)
{
    if (!c.store)
        return error(404, QStringLiteral("no history: [history] enabled = false"));
    if (!c.geo)
        return error(404, QStringLiteral("no zones: the site has no origin"));
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(body));
    if (!document.isObject())
        return error(400, QStringLiteral("the body is not a JSON object"));
    const QJsonObject request = document.object();
    const QJsonValue geojson = request.value(QLatin1String("geojson"));
    if (!geojson.isObject())
        return error(400, QStringLiteral("geojson: not a GeoJSON FeatureCollection object"));
    const QJsonValue hoursValue = request.value(QLatin1String("hours"));
    const double hours = hoursValue.isUndefined() ? maxPreviewHours : hoursValue.toDouble();
    if (!hoursValue.isUndefined() && (!hoursValue.isDouble() || hours != std::floor(hours) ||
                                      hours < 1 || hours > maxPreviewHours))
        return error(400,
                     QStringLiteral("hours: a whole number from 1 to %1").arg(maxPreviewHours));
    QVector<zones::Zone> edited;
    QString why;
    if (!zones::parseZones(QJsonDocument(geojson.toObject()).toJson(QJsonDocument::Compact), *c.geo,
                           edited, why))
        return error(400, why);
    const QVector<zones::Zone> current = c.currentZones ? c.currentZones() : QVector<zones::Zone>();

    bool found = false;
    std::int64_t latestMs = 0;
    QVector<ObjectRow> rows;
    if (!c.store->with([&](Store& s) {
            return s.picture(std::numeric_limits<std::int64_t>::max(), found, latestMs, rows, why);
        }))
        return error(503, why);
    if (!found)
        return error(404, QStringLiteral("no history: no picture recorded"));
    ZonePreview preview;
    if (!previewZones(*c.store, c.site, &*c.geo, current, edited,
                      latestMs - std::int64_t(hours) * msPerHour, latestMs, preview, why))
        return error(503, why);
    Reply reply;
    reply.body = previewJson(preview, current, edited);
    return reply;
}

} // namespace trklib::sited::history
