#include "tools/sited/history/historyrecorder.h"

#include "tools/sited/fusion/picturejson.h"

#include "tools/common/service/jsonwriter.h"
#include "util/units.h"

#include <QDateTime>

#include <cmath>

#include <chrono>

namespace trklib::sited::history {

namespace {

void append(Batch& to, const Batch& from)
{
    to.pictures += from.pictures;
    to.objects += from.objects;
    to.events += from.events;
    to.statuses += from.statuses;
    to.logins += from.logins;
    to.alarmChanges += from.alarmChanges;
    to.cameras += from.cameras;
}

// The UTC midnight that begins the day of timeMs.
std::int64_t dayStartMs(std::int64_t timeMs)
{
    return retentionStartMs(timeMs, 1);
}

QString dayName(std::int64_t timeMs)
{
    return QDateTime::fromMSecsSinceEpoch(timeMs, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd"));
}

} // namespace

QVector<ObjectRow> pictureRows(const QStringList& radarNames, const Picture& picture,
                               const site::GeoReference* geo)
{
    QVector<ObjectRow> rows;
    rows.reserve(picture.objects.size());
    for (const SiteObject& o : picture.objects) {
        ObjectRow row;
        row.timeMs = picture.timeMs;
        row.id = o.id;
        row.x = o.xM;
        row.y = o.yM;
        if (geo) {
            const site::GeoPoint p = geo->toGeodetic(o.xM, o.yM);
            row.lat = p.latitudeDeg;
            row.lon = p.longitudeDeg;
        }
        row.vx = o.vxMps;
        row.vy = o.vyMps;
        row.speed = util::groundSpeedKph(o.vxMps, o.vyMps);
        if (row.speed >= minHeadingSpeedKph)
            row.heading = util::compassHeadingDeg(o.vxMps, o.vyMps);
        row.confirmed = o.confirmed;
        QByteArray radars = "[";
        for (int r = 0; r < o.radars.size(); ++r) {
            radars.append(r == 0 ? "{\"radar\":" : ",{\"radar\":");
            const int radar = o.radars[r].radar;
            service::appendString(
                radars, radar >= 0 && radar < radarNames.size() ? radarNames[radar] : QString());
            radars.append(",\"number\":");
            service::appendInteger(radars, o.radars[r].number);
            radars.append('}');
        }
        radars.append(']');
        row.radars = radars;
        row.sinceMs = o.sinceMs;
        row.objectClass = o.objectClass;
        row.classes.clear();
        fusion::appendClasses(row.classes, o.classes);
        row.gappedS = std::round(o.gappedS * 10.0) / 10.0;
        rows.append(row);
    }
    return rows;
}

EventRow eventRow(const zones::Zone& zone, const zones::Event& event, const QByteArray& published)
{
    const char* kind = "";
    switch (event.kind) {
    case zones::Event::Kind::Enter:
        kind = "enter";
        break;
    case zones::Event::Kind::Exit:
        kind = "exit";
        break;
    case zones::Event::Kind::Dwell:
        kind = "dwell";
        break;
    case zones::Event::Kind::Speed:
        kind = "speed";
        break;
    case zones::Event::Kind::Cross:
        kind = "cross";
        break;
    }
    return {event.timeMs, zone.name, QString::fromLatin1(kind), event.object, published};
}

std::int64_t retentionStartMs(std::int64_t latestMs, int retentionDays)
{
    const std::int64_t day =
        latestMs >= 0 ? latestMs / util::msPerDay : (latestMs + 1) / util::msPerDay - 1;
    return (day - std::max(retentionDays, 1) + 1) * util::msPerDay;
}

Recorder::Recorder(SharedStore& store, Options options)
    : store_(store), options_(std::move(options)), thread_([this] { run(); })
{}

Recorder::~Recorder()
{
    stop();
}

void Recorder::stop()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

bool Recorder::push(Batch batch)
{
    const int records = batch.size();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (waiting_ + records > options_.queueRecords) {
            dropped_ += records;
            outage_ = true;
            if (!dropLogged_) {
                dropLogged_ = true;
                log(QStringLiteral("history: %1 records wait for the database, the queue's "
                                   "most; dropping new records until it catches up")
                        .arg(waiting_));
            }
            return false;
        }
        waiting_ += records;
        ++handed_;
        queue_.push_back(std::move(batch));
    }
    wake_.notify_one();
    return true;
}

void Recorder::addPicture(std::int64_t timeMs, QVector<ObjectRow> objects)
{
    Batch batch;
    batch.pictures.append(timeMs);
    batch.objects = std::move(objects);
    push(std::move(batch));
}

void Recorder::addEvent(EventRow event)
{
    Batch batch;
    batch.events.append(std::move(event));
    push(std::move(batch));
}

void Recorder::addStatus(StatusRow status)
{
    Batch batch;
    batch.statuses.append(std::move(status));
    push(std::move(batch));
}

void Recorder::addLogin(LoginRow login)
{
    Batch batch;
    batch.logins.append(std::move(login));
    push(std::move(batch));
}

void Recorder::addCamera(CameraRow change)
{
    Batch batch;
    batch.cameras.append(std::move(change));
    push(std::move(batch));
}

void Recorder::addAlarmChanges(QVector<zones::AlarmChange> changes)
{
    Batch batch;
    batch.alarmChanges = std::move(changes);
    push(std::move(batch));
}

std::int64_t Recorder::dropped() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

int Recorder::waiting() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return waiting_;
}

Usage Recorder::usage() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return usage_;
}

bool Recorder::flush(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    const std::int64_t target = handed_;
    return written_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return written_n_ >= target; });
}

void Recorder::run()
{
    Batch pending; // taken from the queue, not yet written
    int pendingRecords = 0;
    int pendingItems = 0;
    bool failing = false;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (failing)
                wake_.wait_for(lock, std::chrono::milliseconds(retryMs), [&] { return stopping_; });
            else
                wake_.wait(lock, [&] { return stopping_ || !queue_.empty() || pendingItems; });
            // Whatever waits is taken, up to a batch's size.
            while (!queue_.empty() &&
                   (pendingItems == 0 || pendingRecords + queue_.front().size() <= batchRecords)) {
                pendingRecords += queue_.front().size();
                append(pending, queue_.front());
                queue_.pop_front();
                ++pendingItems;
            }
            if (stopping_ && pendingItems == 0)
                return;
        }
        QString error;
        const bool ok = store_.with([&](Store& store) {
            if (!store.isConnected() && !store.reconnect(error))
                return false;
            if (!store.write(pending, error))
                return false;
            retain(store, pending);
            return true;
        });
        if (ok) {
            bool recovered = false;
            std::int64_t dropped = 0;
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                waiting_ -= pendingRecords;
                written_n_ += pendingItems;
                recovered = outage_;
                outage_ = false;
                dropLogged_ = false;
                dropped = dropped_;
            }
            if (recovered)
                log(QStringLiteral("history: writing again; %1 records dropped since the start")
                        .arg(dropped));
            written_.notify_all();
            pending.clear();
            pendingRecords = pendingItems = 0;
            failing = false;
            continue;
        }
        bool first = false;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            first = !outage_;
            outage_ = true;
            if (stopping_) {
                // The last attempt failed: what waits is lost, and counted.
                dropped_ += waiting_;
                log(QStringLiteral("history: %1; %2 records not written at the end")
                        .arg(error)
                        .arg(waiting_));
                return;
            }
        }
        if (first)
            log(error);
        failing = true;
    }
}

void Recorder::retain(Store& store, const Batch& written)
{
    // The records' own time rules, not the host's clock: an offline run
    // of an old capture keeps its days.
    std::optional<std::int64_t> latest;
    const auto see = [&](std::int64_t t) { latest = latest ? std::max(*latest, t) : t; };
    for (std::int64_t t : written.pictures)
        see(t);
    for (const EventRow& e : written.events)
        see(e.timeMs);
    for (const StatusRow& s : written.statuses)
        see(s.timeMs);
    if (!latest)
        return;
    if (lastRetentionMs_ == 0 || *latest - lastRetentionMs_ >= retentionEveryMs) {
        lastRetentionMs_ = *latest;
        QString error;
        if (!store.removeBefore(retentionStartMs(*latest, options_.retentionDays), error))
            log(error);
    }
    if (!lastSizeMs_ || *latest - *lastSizeMs_ >= sizeEveryMs) {
        lastSizeMs_ = *latest;
        bound(store, *latest);
    }
}

void Recorder::bound(Store& store, std::int64_t latestMs)
{
    const std::int64_t today = dayStartMs(latestMs);
    Usage usage;
    std::int64_t bytes = 0;
    std::optional<std::int64_t> oldest;
    QString error;
    for (;;) {
        if (!store.size(bytes, error) || !store.oldest(oldest, error) ||
            !store.latest(usage.newestMs, error)) {
            log(error);
            return;
        }
        if (bytes <= options_.maxSizeBytes || !oldest)
            break;
        if (!store.shrinksOnRemoval() && sizeAtRemoval_ && bytes <= *sizeAtRemoval_)
            break;
        const std::int64_t oldestDay = dayStartMs(*oldest);
        if (oldestDay >= today) {
            if (!overLogged_)
                log(QStringLiteral("history: %1 bytes, over max_size (%2 bytes), in the current "
                                   "day %3 alone: it is kept")
                        .arg(bytes)
                        .arg(options_.maxSizeBytes)
                        .arg(dayName(today)));
            overLogged_ = true;
            break;
        }
        if (!store.removeBefore(oldestDay + util::msPerDay, error)) {
            log(error);
            return;
        }
        log(QStringLiteral("history: %1 bytes, over max_size (%2 bytes): the day %3 removed")
                .arg(bytes)
                .arg(options_.maxSizeBytes)
                .arg(dayName(oldestDay)));
        if (!store.shrinksOnRemoval())
            sizeAtRemoval_ = bytes;
    }
    if (bytes <= options_.maxSizeBytes)
        overLogged_ = false;
    usage.bytes = bytes;
    usage.oldestMs = oldest;
    const std::lock_guard<std::mutex> lock(mutex_);
    usage_ = usage;
}

} // namespace trklib::sited::history
