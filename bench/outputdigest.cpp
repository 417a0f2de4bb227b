// trkdigest: replays the benchmark streams through one engine each and
// prints, per stream, what came out and a digest of every output bit: the
// targets of every packet and its validation records. A change that is to
// keep the outputs must leave every line as it was; the conformance scenes
// hold few maxima per packet, these streams up to and beyond the hundred
// the tracker takes.
//
// It is also the driver for instruction counts of one cycle: run under
// valgrind --tool=callgrind with
// --toggle-collect='trklib::TargetTracking::getTargetsFromData(*)' and one
// stream's name, it counts the instructions of getTargetsFromData alone;
// divide by the stream's packets.
#include "bench/benchstream.h"

#include "engine/targettracking.h"
#include "tools/common/cli/mountingoptions.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <cstring>

namespace trklib::bench {
namespace {

// FNV-1a, 64 bits, over the bytes of each value in turn.
class Digest
{
public:
    template <typename T> void add(const T& value)
    {
        unsigned char bytes[sizeof(T)];
        std::memcpy(bytes, &value, sizeof(T));
        for (unsigned char b : bytes)
            hash_ = (hash_ ^ b) * prime;
    }
    quint64 value() const { return hash_; }

private:
    static constexpr quint64 prime = 0x100000001b3;
    quint64 hash_ = 0xcbf29ce484222325;
};

int replay(const QString& name)
{
    const QVector<RadarPacketData> packets = streamByName(name);
    if (packets.isEmpty()) {
        std::fprintf(stderr, "trkdigest: %s: no such stream\n", qPrintable(name));
        return 2;
    }
    TargetTracking engine;
    engine.radarConfig() = cli::defaultMounting();
    Digest digest;
    qint64 records = 0;
    qint64 reported = 0;
    int mostRecords = 0;
    int packetsOverLimit = 0;
    QVector<ValidationData> validation;
    QVector<TargetData> targets;
    for (const RadarPacketData& packet : packets) {
        engine.getValidationFromData(packet, validation);
        long timestamp = 0;
        engine.getTargetsFromData(packet, timestamp, targets);
        digest.add(qint64(timestamp));
        digest.add(validation.size());
        for (const ValidationData& v : validation) {
            digest.add(v.index);
            digest.add(v.elevation);
            digest.add(v.azimuth);
            digest.add(v.distance);
            digest.add(v.velocity);
        }
        digest.add(targets.size());
        for (const TargetData& t : targets) {
            digest.add(t.number);
            digest.add(t.elevation);
            digest.add(t.azimuth);
            digest.add(t.distance);
            digest.add(t.velocity);
            digest.add(t.confirmed);
        }
        records += validation.size();
        reported += targets.size();
        mostRecords = qMax(mostRecords, validation.size());
        // Over the limit after harmonic suppression: discarded by the tracker.
        QVector<RadarDataMax> maxima = engine.rectifyData(engine.getRadarData(packet));
        engine.checkHarmonics(maxima);
        packetsOverLimit += maxima.size() > 100 ? 1 : 0;
    }
    std::printf("%-15s packets %5d  maxima %7lld (most %3d, %4d packets discarded)  targets %7lld  "
                "digest %016llx\n",
                qPrintable(name), packets.size(), static_cast<long long>(records), mostRecords,
                packetsOverLimit, static_cast<long long>(reported),
                static_cast<unsigned long long>(digest.value()));
    return 0;
}

} // namespace
} // namespace trklib::bench

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList names = app.arguments().mid(1);
    if (names.isEmpty())
        names = trklib::bench::streamNames();
    if (names == QStringList{QStringLiteral("--list")}) {
        for (const QString& name : trklib::bench::streamNames())
            std::printf("%s\n", qPrintable(name));
        return 0;
    }
    if (names.contains(QStringLiteral("--help")) || names.contains(QStringLiteral("-h"))) {
        std::printf("usage: trkdigest [--list | stream...]\nstreams: %s\n",
                    qPrintable(trklib::bench::streamNames().join(QLatin1Char(' '))));
        return 0;
    }
    for (const QString& name : names) {
        if (const int status = trklib::bench::replay(name))
            return status;
    }
    return 0;
}
