#include "tools/sited/history/zonepreview.h"

#include "tools/sited/zones/zonemessages.h"

#include "tools/common/service/jsonwriter.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
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
        : now_(current, out.current), then_(edited, out.edited), copies_(current.size()),
          played_(current)
    {
        for (int z = 0; z < edited.size(); ++z) {
            const auto same =
                std::find_if(current.cbegin(), current.cend(),
                             [&](const zones::Zone& c) { return sameRules(c, edited[z]); });
            if (same != current.cend()) {
                copies_[int(same - current.cbegin())].append(z);
            } else {
                played_.append(edited[z]);
                ownIndex_.append(z);
            }
        }
    }

    // The zones the rules play: those in force, then the edited ones played.
    const QVector<zones::Zone>& played() const { return played_; }

    // A picture's events of the zones played, in the rules' order.
    void take(const zones::Event* events, int count, const QString& site,
              const site::GeoReference* geo)
    {
        if (count == 0)
            return;
        // The edited side's events of the picture in its own order: zone by
        // zone as its file has them, in each as the rules gave them.
        const int inForce = copies_.size();
        edited_.clear();
        for (const zones::Event* e = events; e != events + count; ++e) {
            if (e->zone < inForce) {
                now_.add(*e, site, geo);
                for (const int z : qAsConst(copies_[e->zone])) {
                    edited_.append(*e);
                    edited_.back().zone = z;
                }
            } else {
                edited_.append(*e);
                edited_.back().zone = ownIndex_[e->zone - inForce];
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
    QVector<zones::Zone> played_;
    QVector<zones::Event> edited_; // the edited side's of the picture
};

// The objects are judged in lanes, each on a core of its own: a lane takes
// the objects whose id has its parity. The rules judge every object on its
// own (its stays, its moves), so a lane's events are those the whole
// picture raises for its objects; merged by zone and then by object, as
// the rules give them, they are the picture's.
constexpr int laneCount = 2;

int laneOf(const zones::Sample& object)
{
    return int(std::uint64_t(object.id) % laneCount);
}

// A span's pictures, as read: each picture's time, and by lane the
// picture's objects' end in that lane's objects.
struct Span
{
    std::vector<std::int64_t> times;
    std::array<std::vector<int>, laneCount> ends;
    std::array<std::vector<zones::Sample>, laneCount> objects;

    void add(std::int64_t timeMs, const zones::Sample* picture, int count)
    {
        times.push_back(timeMs);
        for (const zones::Sample* o = picture; o != picture + count; ++o)
            objects[laneOf(*o)].push_back(*o);
        for (int lane = 0; lane < laneCount; ++lane)
            ends[lane].push_back(int(objects[lane].size()));
    }

    void clear()
    {
        times.clear();
        for (int lane = 0; lane < laneCount; ++lane) {
            ends[lane].clear();
            objects[lane].clear();
        }
    }
};

// What one lane's rules raised over a span: each picture's events' end in
// events.
struct LaneEvents
{
    std::vector<zones::Event> events;
    std::vector<int> ends;
};

// Items handed from one thread to another, in order; pop() is false once
// the channel is closed and empty.
template <typename T> class Channel
{
public:
    void push(T item)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(std::move(item));
        ready_.notify_one();
    }

    bool pop(T& item)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return !items_.empty() || closed_; });
        if (items_.empty())
            return false;
        item = std::move(items_.front());
        items_.pop_front();
        return true;
    }

    void close()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        ready_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<T> items_;
    bool closed_ = false;
};

class Lane
{
public:
    Lane(int index, const QVector<zones::Zone>& zones) : index_(index), rules_(zones) {}

    void judge(const Span& span, LaneEvents& out)
    {
        out.events.clear();
        out.ends.clear();
        const std::vector<int>& ends = span.ends[index_];
        const zones::Sample* objects = span.objects[index_].data();
        int first = 0;
        for (std::size_t i = 0; i < span.times.size(); ++i) {
            const std::int64_t timeMs = span.times[i];
            if (lastMs_ && timeMs - *lastMs_ > previewGapMs)
                rules_.restart();
            lastMs_ = timeMs;
            rules_.evaluate(timeMs, objects + first, ends[i] - first, picture_);
            first = ends[i];
            out.events.insert(out.events.end(), picture_.cbegin(), picture_.cend());
            out.ends.push_back(int(out.events.size()));
        }
    }

private:
    int index_;
    zones::ReplayRules rules_;
    std::optional<std::int64_t> lastMs_;
    QVector<zones::Event> picture_;
};

// The events of both lanes' picture i, in the rules' order.
void mergeLanes(const LaneEvents& a, const LaneEvents& b, std::size_t i,
                std::vector<zones::Event>& out)
{
    const auto from = [](const LaneEvents& lane, std::size_t k) {
        return lane.events.data() + (k == 0 ? 0 : lane.ends[k - 1]);
    };
    out.clear();
    std::merge(from(a, i), a.events.data() + a.ends[i], from(b, i), b.events.data() + b.ends[i],
               std::back_inserter(out), [](const zones::Event& x, const zones::Event& y) {
                   return x.zone != y.zone ? x.zone < y.zone : x.object < y.object;
               });
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
    Sides sides(current, edited, out);
    // The store is read in this thread while the lanes judge the spans read
    // before: spans go round, from free to both lanes and back, so that at
    // most spanCount are held.
    constexpr int spanCount = 4;
    std::vector<Span> spans(spanCount);
    Channel<Span*> free;
    for (Span& span : spans)
        free.push(&span);
    std::array<Channel<Span*>, laneCount> toJudge;
    Channel<LaneEvents> judged; // the second lane's, span by span
    std::thread second([&] {
        Lane lane(1, sides.played());
        Span* span = nullptr;
        while (toJudge[1].pop(span)) {
            LaneEvents events;
            lane.judge(*span, events);
            judged.push(std::move(events));
        }
        judged.close();
    });
    std::thread first([&] {
        Lane lane(0, sides.played());
        LaneEvents mine;
        LaneEvents theirs;
        std::vector<zones::Event> picture;
        Span* span = nullptr;
        while (toJudge[0].pop(span)) {
            lane.judge(*span, mine);
            if (!judged.pop(theirs))
                break; // not reached: the second lane judges every span
            for (std::size_t i = 0; i < span->times.size(); ++i) {
                mergeLanes(mine, theirs, i, picture);
                sides.take(picture.data(), int(picture.size()), site, geo);
                ++out.pictures;
            }
            span->clear();
            free.push(span);
        }
    });
    bool read = true;
    // Spans of whole minutes, the first from fromMs: each the store's block
    // of a minute where it has one.
    for (std::int64_t start = fromMs; read && start <= toMs; start = blockStart(start) + blockMs) {
        const std::int64_t end = std::min(toMs, blockStart(start) + blockMs - 1);
        Span* span = nullptr;
        free.pop(span);
        const Store::PictureSink each = [span](std::int64_t timeMs, const zones::Sample* objects,
                                               int count) { span->add(timeMs, objects, count); };
        read = store.with([&](Store& s) { return s.pictures(start, end, each, error); });
        if (!read)
            break;
        for (Channel<Span*>& lane : toJudge)
            lane.push(span);
    }
    for (Channel<Span*>& lane : toJudge)
        lane.close();
    second.join();
    first.join();
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
