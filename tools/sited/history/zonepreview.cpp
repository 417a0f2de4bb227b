#include "tools/sited/history/zonepreview.h"

#include "tools/sited/zones/zonemessages.h"

#include "tools/common/service/jsonwriter.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace trklib::sited::history {

namespace {

constexpr std::int64_t msPerHour = 3600 * 1000;

// Whether the rules judge a and b alike: the same shape and settings
// (their names, cameras, schedules and alarms aside, which raise no event).
bool sameRules(const zones::Zone& a, const zones::Zone& b)
{
    return a.kind == b.kind && a.rings == b.rings && a.line == b.line && a.dwellS == b.dwellS &&
           a.speedLimitKph == b.speedLimitKph && a.confirmedOnly == b.confirmedOnly &&
           a.classes == b.classes && a.strict == b.strict;
}

// What one set of zones raised, counted and its first events kept.
class Tally
{
public:
    Tally(const QVector<zones::Zone>& zones, PreviewSide& out) : zones_(zones), out_(out)
    {
        out_.counts.fill({}, zones.size());
    }

    void add(const zones::Event& e, const QString& site, const site::GeoReference* geo)
    {
        ++out_.counts[e.zone][int(e.kind)];
        ++out_.total;
        if (out_.events.size() < maxPreviewEvents)
            out_.events.append(zones::eventMessage(site, zones_[e.zone], e, geo));
    }

private:
    const QVector<zones::Zone>& zones_;
    PreviewSide& out_;
};

// Both sets of zones at work over the recorded pictures, in one replay of
// the rules: the zones in force, then the edited zones unlike every zone in
// force. The rules judge every zone on its own, so an edited zone that the
// rules judge as one in force raises that zone's events: it is not played
// again (an admin who moves one zone of ten waits for one zone, not ten).
class Sides
{
public:
    Sides(const QVector<zones::Zone>& current, const QVector<zones::Zone>& edited, ZonePreview& out)
        : now_(current, out.current), then_(edited, out.edited), copies_(current.size())
    {
        QVector<zones::Zone> played = current;
        for (int z = 0; z < edited.size(); ++z) {
            const auto same =
                std::find_if(current.cbegin(), current.cend(),
                             [&](const zones::Zone& c) { return sameRules(c, edited[z]); });
            if (same != current.cend()) {
                copies_[int(same - current.cbegin())].append(z);
            } else {
                played.append(edited[z]);
                ownIndex_.append(z);
            }
        }
        rules_ = std::make_unique<zones::ReplayRules>(std::move(played));
    }

    // The rules as a starting sited has them: nothing seen yet.
    void restart() { rules_->restart(); }

    void evaluate(std::int64_t timeMs, const zones::Sample* objects, int count, const QString& site,
                  const site::GeoReference* geo)
    {
        rules_->evaluate(timeMs, objects, count, events_);
        if (events_.isEmpty())
            return;
        // The edited side's events of the picture in its own order: zone by
        // zone as its file has them, in each as the rules gave them.
        const int inForce = copies_.size();
        edited_.clear();
        for (const zones::Event& e : qAsConst(events_)) {
            if (e.zone < inForce) {
                now_.add(e, site, geo);
                for (const int z : qAsConst(copies_[e.zone])) {
                    edited_.append(e);
                    edited_.back().zone = z;
                }
            } else {
                edited_.append(e);
                edited_.back().zone = ownIndex_[e.zone - inForce];
            }
        }
        std::stable_sort(
            edited_.begin(), edited_.end(),
            [](const zones::Event& a, const zones::Event& b) { return a.zone < b.zone; });
        for (const zones::Event& e : qAsConst(edited_))
            then_.add(e, site, geo);
    }

private:
    Tally now_;
    Tally then_;
    QVector<QVector<int>> copies_; // by zone in force: the edited zones judged alike
    QVector<int> ownIndex_;        // the edited zones played, by their index among the edited
    std::unique_ptr<zones::ReplayRules> rules_;
    QVector<zones::Event> events_; // the picture's, both sides'
    QVector<zones::Event> edited_; // the edited side's of the picture
};

// A span's pictures, as read, from the reading thread to the rules': each
// picture's time and its objects' end in objects.
struct Span
{
    std::vector<std::int64_t> times;
    std::vector<int> ends;
    std::vector<zones::Sample> objects;
};

// At most capacity spans waiting, so that the rows held stay bounded when
// the rules are slower than the store. The spans judged come back to be
// filled again: a day is 1440 spans of about a megabyte, and fresh ones
// would fault in fresh pages for each.
class SpanQueue
{
public:
    static constexpr int capacity = 2;

    // An empty span, one judged before where there is one.
    Span take()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        Span span;
        if (!spare_.empty()) {
            span = std::move(spare_.back());
            spare_.pop_back();
        }
        return span;
    }

    // A span judged, emptied to be taken again.
    void giveBack(Span& span)
    {
        span.times.clear();
        span.ends.clear();
        span.objects.clear();
        const std::lock_guard<std::mutex> lock(mutex_);
        if (spare_.size() <= capacity)
            spare_.push_back(std::move(span));
        span = Span();
    }

    void push(Span span)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [this] { return spans_.size() < capacity || closed_; });
        spans_.push_back(std::move(span));
        ready_.notify_one();
    }

    // False once closed and empty.
    bool pop(Span& span)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return !spans_.empty() || closed_; });
        if (spans_.empty())
            return false;
        span = std::move(spans_.front());
        spans_.pop_front();
        room_.notify_one();
        return true;
    }

    void close()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        ready_.notify_all();
        room_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::deque<Span> spans_;
    std::vector<Span> spare_;
    bool closed_ = false;
};

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
    // The store is read in this thread while the rules judge the span read
    // before in another: the two take about as long, and each its core.
    SpanQueue queue;
    std::thread rules([&] {
        Sides sides(current, edited, out);
        std::optional<std::int64_t> lastMs;
        Span span;
        while (queue.pop(span)) {
            int first = 0;
            for (std::size_t i = 0; i < span.times.size(); ++i) {
                const std::int64_t timeMs = span.times[i];
                if (lastMs && timeMs - *lastMs > previewGapMs)
                    sides.restart();
                lastMs = timeMs;
                sides.evaluate(timeMs, span.objects.data() + first, span.ends[i] - first, site,
                               geo);
                first = span.ends[i];
                ++out.pictures;
            }
            queue.giveBack(span);
        }
    });
    bool read = true;
    // Spans of whole minutes, the first from fromMs: each the store's block
    // of a minute where it has one.
    for (std::int64_t start = fromMs; read && start <= toMs; start = blockStart(start) + blockMs) {
        const std::int64_t end = std::min(toMs, blockStart(start) + blockMs - 1);
        Span span = queue.take();
        const Store::PictureSink each = [&span](std::int64_t timeMs, const zones::Sample* objects,
                                                int count) {
            span.times.push_back(timeMs);
            span.objects.insert(span.objects.end(), objects, objects + count);
            span.ends.push_back(int(span.objects.size()));
        };
        read = store.with([&](Store& s) { return s.pictures(start, end, each, error); });
        if (read)
            queue.push(std::move(span));
    }
    queue.close();
    rules.join();
    return read;
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
