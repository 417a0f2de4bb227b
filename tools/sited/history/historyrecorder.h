#pragma once

#include "tools/sited/fusion/picture.h"
#include "tools/sited/history/historystore.h"
#include "tools/sited/zones/rules.h"
#include "tools/sited/zones/zonesfile.h"

#include "tools/common/site/georeference.h"

#include <QStringList>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// Recording the site's history without holding up the pictures: the
// publishing thread hands records to a bounded queue and returns; a thread
// of the recorder's own writes them in batches, one transaction each. When
// the database is slow or away the records wait in the queue; what does not
// fit is dropped and counted, and logged once per outage.
namespace trklib::sited::history {

// A store shared by the recorder's thread and the HTTP API's: one at a time.
class SharedStore
{
public:
    explicit SharedStore(std::unique_ptr<Store> store) : store_(std::move(store)) {}

    template <typename F> auto with(F&& f)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return f(*store_);
    }

private:
    std::mutex mutex_;
    std::unique_ptr<Store> store_;
};

// The rows of one published picture (the fields pictureMessage writes).
QVector<ObjectRow> pictureRows(const QStringList& radarNames, const Picture& picture,
                               const site::GeoReference* geo);

// An event's row: the message as published (eventMessage's) and the
// columns it is searched by.
EventRow eventRow(const zones::Zone& zone, const zones::Event& event, const QByteArray& published);

// The first day (ms since the epoch, a UTC midnight) that retentionDays
// keeps when the latest record is at latestMs: the latest day is always kept.
std::int64_t retentionStartMs(std::int64_t latestMs, int retentionDays);

// What the history holds, as last measured: its size (Store::size) and the
// times of its earliest and latest records; none before the first
// measurement or in an empty history.
struct Usage
{
    std::optional<std::int64_t> bytes;
    std::optional<std::int64_t> oldestMs;
    std::optional<std::int64_t> newestMs;
};

class Recorder
{
public:
    // Records that may wait for the database: a picture of 800 objects is
    // 801, so about 12 s of a site of 16 radars x 50 objects at 10
    // pictures per second, several minutes of a small site.
    static constexpr int defaultQueueRecords = 100000;
    // At most this many records go in one transaction.
    static constexpr int batchRecords = 20000;
    // How long the thread waits before trying a database that failed again.
    static constexpr int retryMs = 500;
    // How often old days are looked for, in ms of the records' own time.
    static constexpr std::int64_t retentionEveryMs = 3600 * 1000;
    // How often the database is measured against maxSizeBytes, likewise.
    static constexpr std::int64_t sizeEveryMs = 60 * 1000;

    struct Options
    {
        int queueRecords = defaultQueueRecords;
        int retentionDays = 30;
        std::function<void(const QString&)> log; // one line each; may be empty
        // Over this, whole oldest UTC days are removed, never the latest
        // record's day.
        std::int64_t maxSizeBytes = 20000000000;
    };

    Recorder(SharedStore& store, Options options);
    ~Recorder(); // stops, writing what it can first
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // From the publishing thread; never waits for the database. A picture
    // goes whole (one record plus one per object) or is dropped whole.
    void addPicture(std::int64_t timeMs, QVector<ObjectRow> objects);
    void addEvent(EventRow event);
    void addStatus(StatusRow status);
    void addLogin(LoginRow login);
    void addCamera(CameraRow change);
    // An operation's alarm changes, in one transaction.
    void addAlarmChanges(QVector<zones::AlarmChange> changes);

    // Records dropped since the start, for the status.
    std::int64_t dropped() const;
    // Records waiting, in the queue and in the batch being written.
    int waiting() const;
    Usage usage() const;
    // Until every record handed in so far is written or timeoutMs passes;
    // true when written. For the end of a run and for tests.
    bool flush(int timeoutMs);
    // Ends the thread after a last attempt to write what waits.
    void stop();

private:
    struct Item
    {
        Batch batch;
        int records = 0;
    };
    bool push(Batch batch);
    void run();
    void retain(Store& store, const Batch& written);
    void bound(Store& store, std::int64_t latestMs);
    void log(const QString& line) const
    {
        if (options_.log)
            options_.log(line);
    }

    SharedStore& store_;
    Options options_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;    // records came, or stop
    std::condition_variable written_; // a batch was written
    std::deque<Batch> queue_;
    int waiting_ = 0; // records queued plus those being written
    std::int64_t dropped_ = 0;
    std::int64_t handed_ = 0;    // batches handed in
    std::int64_t written_n_ = 0; // of them, written
    bool outage_ = false;        // a write failed or records were dropped since the last write
    bool dropLogged_ = false;
    bool stopping_ = false;
    std::int64_t lastRetentionMs_ = 0;
    std::optional<std::int64_t> lastSizeMs_; // when last measured, the records' time
    // PostgreSQL: the size when the last day went; another goes once the
    // tables have grown past it (the room of the last is taken).
    std::optional<std::int64_t> sizeAtRemoval_;
    bool overLogged_ = false; // the latest day alone is over the size
    Usage usage_;
    std::thread thread_;
};

} // namespace trklib::sited::history
