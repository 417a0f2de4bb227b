#include "tools/sited/history/pictureblocks.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <vector>

namespace trklib::sited::history {

namespace {

constexpr char blockVersion = 1;
constexpr int objectBytes = 3 * 8 + 1; // x, y, speed and the flags byte, after the id

void appendVarint(QByteArray& out, std::uint64_t v)
{
    while (v >= 0x80) {
        out.append(char((v & 0x7f) | 0x80));
        v >>= 7;
    }
    out.append(char(v));
}

void appendDouble(QByteArray& out, double d)
{
    std::uint64_t bits = 0;
    std::memcpy(&bits, &d, sizeof bits);
    char bytes[8];
    for (char& b : bytes) {
        b = char(bits & 0xff);
        bits >>= 8;
    }
    out.append(bytes, 8);
}

std::uint64_t zigzag(std::int64_t v)
{
    return (std::uint64_t(v) << 1) ^ std::uint64_t(v >> 63);
}

// The difference a zigzag varint holds, as the two's complement bits of it.
std::uint64_t zigzagBits(std::uint64_t v)
{
    return (v >> 1) ^ (0 - (v & 1));
}

// Reads a block's bytes front to back; every read says whether the bytes
// held it.
class Reader
{
public:
    explicit Reader(const QByteArray& bytes)
        : p_(reinterpret_cast<const unsigned char*>(bytes.constData())), end_(p_ + bytes.size())
    {}

    bool atEnd() const { return p_ == end_; }
    bool byte(unsigned char& b)
    {
        if (p_ == end_)
            return false;
        b = *p_++;
        return true;
    }
    bool varint(std::uint64_t& v)
    {
        v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            unsigned char b = 0;
            if (!byte(b))
                return false;
            v |= std::uint64_t(b & 0x7f) << shift;
            if (!(b & 0x80))
                return true;
        }
        return false;
    }
    bool has(std::ptrdiff_t n) const { return end_ - p_ >= n; }
    // Whether count objects of at least size bytes each may follow.
    bool mayHold(std::uint64_t count, int size) const
    {
        return count <= std::uint64_t(end_ - p_) / std::uint64_t(size);
    }
    double real()
    {
        const std::uint64_t bits = qFromLittleEndian<quint64>(p_);
        p_ += 8;
        double d = 0.0;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }

private:
    const unsigned char* p_;
    const unsigned char* end_;
};

} // namespace

std::int64_t blockStart(std::int64_t timeMs)
{
    const std::int64_t q = timeMs / blockMs;
    return (timeMs % blockMs < 0 ? q - 1 : q) * blockMs;
}

QByteArray makeBlock(std::int64_t startMs,
                     const QVector<std::pair<std::int64_t, QVector<zones::Sample>>>& pictures)
{
    QByteArray block;
    block.append(blockVersion);
    for (const auto& [timeMs, unsorted] : pictures) {
        QVector<zones::Sample> objects = unsorted;
        std::sort(objects.begin(), objects.end(),
                  [](const zones::Sample& a, const zones::Sample& b) { return a.id < b.id; });
        appendVarint(block, std::uint64_t(timeMs - startMs));
        appendVarint(block, std::uint64_t(objects.size()));
        std::int64_t lastId = 0;
        for (const zones::Sample& o : qAsConst(objects)) {
            // The difference wraps, as the reader's sum does.
            appendVarint(block, zigzag(std::int64_t(std::uint64_t(o.id) - std::uint64_t(lastId))));
            lastId = o.id;
            appendDouble(block, o.xM);
            appendDouble(block, o.yM);
            appendDouble(block, o.speedKph);
            block.append(char(int(o.confirmed) | int(o.objectClass) << 1));
        }
    }
    return block;
}

namespace {

// A block's pictures as decoded: each one's time and object count, and all
// their objects in order.
struct Decoded
{
    std::vector<std::int64_t> times;
    std::vector<int> counts;
    std::vector<zones::Sample> objects;

    void clear()
    {
        times.clear();
        counts.clear();
        objects.clear();
    }
};

// What each thread keeps of its last block's decoding: a day's preview reads
// 1440 blocks of about a megabyte, and fresh buffers would fault in fresh
// pages for each.
thread_local Decoded spare;

bool decode(const QByteArray& block, std::int64_t startMs, Decoded& out)
{
    Reader r(block);
    unsigned char version = 0;
    if (!r.byte(version) || version != blockVersion)
        return false;
    out.objects.reserve(std::size_t(block.size()) / (objectBytes + 1));
    std::int64_t lastMs = -1;
    while (!r.atEnd()) {
        std::uint64_t afterMs = 0;
        std::uint64_t count = 0;
        if (!r.varint(afterMs) || !r.varint(count) || afterMs >= std::uint64_t(blockMs) ||
            std::int64_t(afterMs) <= lastMs || !r.mayHold(count, objectBytes + 1))
            return false;
        lastMs = std::int64_t(afterMs);
        out.times.push_back(startMs + lastMs);
        out.counts.push_back(int(count));
        // Written in place: a sample put together aside and copied in
        // would be read back whole before its last bytes were stored.
        const std::size_t at = out.objects.size();
        out.objects.resize(at + count);
        zones::Sample* o = out.objects.data() + at;
        std::int64_t id = 0;
        for (std::uint64_t i = 0; i < count; ++i, ++o) {
            std::uint64_t delta = 0;
            if (!r.varint(delta) || !r.has(objectBytes))
                return false;
            // Ids ascend within a picture, as the rules take them; the sum
            // wraps rather than overflows, and a wrapped id does not ascend.
            const std::int64_t next = std::int64_t(std::uint64_t(id) + zigzagBits(delta));
            if (i > 0 && next <= id)
                return false;
            id = next;
            o->id = id;
            o->xM = r.real();
            o->yM = r.real();
            o->speedKph = r.real();
            unsigned char flags = 0;
            r.byte(flags);
            if (flags >> 1 >= objectClassCount)
                return false;
            o->confirmed = flags & 1;
            o->objectClass = ObjectClass(flags >> 1);
        }
    }
    return true;
}

} // namespace

bool readBlock(const QByteArray& block, std::int64_t startMs, const Store::PictureSink& each)
{
    // Decoded whole before anything is handed, so that damaged bytes hand
    // nothing and the minute can be read from its rows instead. The
    // thread's buffers are taken, not shared: a sink that reads a block
    // in turn decodes into buffers of its own.
    Decoded d;
    std::swap(d, spare);
    const bool ok = decode(block, startMs, d);
    if (ok) {
        const zones::Sample* objects = d.objects.data();
        for (std::size_t i = 0; i < d.times.size(); ++i) {
            each(d.times[i], objects, d.counts[i]);
            objects += d.counts[i];
        }
    }
    d.clear();
    std::swap(d, spare);
    return ok;
}

BlockWriter::Work BlockWriter::add(const Batch& batch)
{
    Work work;
    // The batch's objects by picture.
    QVector<std::int64_t> times = batch.pictures;
    std::sort(times.begin(), times.end());
    QVector<const ObjectRow*> rows;
    rows.reserve(batch.objects.size());
    for (const ObjectRow& o : batch.objects)
        rows.append(&o);
    std::stable_sort(rows.begin(), rows.end(),
                     [](const ObjectRow* a, const ObjectRow* b) { return a->timeMs < b->timeMs; });
    // Written into and making no block: whatever block it had goes.
    const auto spoil = [this, &work](std::int64_t startMs) {
        if (startMs_ && startMs == *startMs_)
            whole_ = false;
        if (!work.stale.contains(startMs))
            work.stale.append(startMs);
    };
    int next = 0;
    for (const std::int64_t t : qAsConst(times)) {
        // Rows of no picture of the batch.
        for (; next < rows.size() && rows[next]->timeMs < t; ++next)
            spoil(blockStart(rows[next]->timeMs));
        QVector<zones::Sample> objects;
        for (; next < rows.size() && rows[next]->timeMs == t; ++next) {
            const ObjectRow& o = *rows[next];
            // x + 0.0 is x but for -0.0, which it makes 0.0.
            const auto zero = [this](double v) { return signedZeros_ ? v : v + 0.0; };
            objects.append({o.id, zero(o.x), zero(o.y), zero(o.speed), o.confirmed, o.objectClass});
        }
        const std::int64_t start = blockStart(t);
        if (startMs_ && start < *startMs_) {
            spoil(start);
            continue;
        }
        if (!startMs_ || start > *startMs_) {
            finish(work);
            const bool first = !startMs_;
            startMs_ = start;
            whole_ = true;
            if (first)
                spoil(start);
        } else if (t <= lastMs_) {
            spoil(start); // a picture again, or one out of order
        }
        lastMs_ = t;
        if (whole_)
            pictures_.append({t, std::move(objects)});
    }
    for (; next < rows.size(); ++next)
        spoil(blockStart(rows[next]->timeMs));
    return work;
}

void BlockWriter::finish(Work& work)
{
    // A block of an earlier sited's for the same minute goes first.
    if (startMs_ && whole_ && pictures_.size() >= minBlockPictures) {
        if (!work.stale.contains(*startMs_))
            work.stale.append(*startMs_);
        work.done.append({*startMs_, makeBlock(*startMs_, pictures_)});
    }
    pictures_.clear();
}

PicturePlayer::PicturePlayer(std::int64_t fromMs, std::int64_t toMs, RowsReader rows,
                             const Store::PictureSink& each, QString& error)
    : fromMs_(fromMs), toMs_(toMs), rows_(std::move(rows)), each_(each), error_(error),
      next_(fromMs)
{
    within_ = [this](std::int64_t timeMs, const zones::Sample* objects, int count) {
        if (timeMs >= fromMs_ && timeMs <= toMs_)
            each_(timeMs, objects, count);
    };
}

bool PicturePlayer::block(std::int64_t startMs, const QByteArray& bytes)
{
    const std::int64_t endMs = startMs + blockMs - 1;
    if (endMs < next_ || startMs > toMs_)
        return true;
    if (startMs > next_ && !rows_(next_, startMs - 1, each_, error_))
        return false;
    // Damaged bytes: the minute's rows instead.
    if (!readBlock(bytes, startMs, within_) &&
        !rows_(std::max(next_, startMs), std::min(toMs_, endMs), each_, error_))
        return false;
    next_ = endMs + 1;
    return true;
}

bool PicturePlayer::finish()
{
    return next_ > toMs_ || rows_(next_, toMs_, each_, error_);
}

} // namespace trklib::sited::history
