// Fuzz target: the engine under any configuration (NaN, infinities, any
// orientation), fed packets whose arrays have any length and any values,
// with timestamps in any order: tracking (getTargetsFromData) and validation
// (getValidationFromData) alternate, with resetTracking() and changes of the
// configuration in between. The same input then runs on a second, fresh
// engine, and every output must come out the same, bit for bit (any NaN
// equal to any NaN). Targets must carry numbers 1 to 255 and the packet's
// timestamp; validation records must name cells the packet has.
//
// The input: a configuration, then operations, each led by a byte (modulo
// 4): 0 tracks a packet, 1 validates one, 2 resets the tracking, 3 reads a
// new configuration.
//   A configuration: tilt, pan, height and pan offset, each a selector byte
//   (below 128: a value from a table of awkward ones; else 8 bytes as they
//   stand), and the orientation (a selector byte: below 128 its lowest bit;
//   else 4 bytes as they stand).
//   A packet: its timestamp (a selector byte: below 128 the last timestamp
//   plus a signed 16-bit step, else 8 bytes as they stand); for each of the
//   six arrays a length (a selector byte: below 192 the 1024 cells of the
//   wire format; else two bytes, up to 2048); a byte whose bits 0-5 say which
//   arrays are filled with a value read next (else with the values of an
//   empty packet); then a count byte of edits, each an edit byte (modulo 8:
//   0-5 one entry of that array, 6-7 an echo, one cell of all five arrays the
//   engine reads), a cell (two bytes, modulo 2048; cells past an array's end
//   are left out) and the values.

#include "fuzzinput.h"

#include "engine/targettracking.h"
#include "input/packetencoder.h"

#include <QVector>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace trklib::fuzz {
namespace {

constexpr int maxCells = 2048; // arrays up to twice the wire format's length

double takeDouble(FuzzInput& in)
{
    constexpr double awkward[] = {0.0,
                                  -0.0,
                                  5.0,
                                  -5.0,
                                  10.0,
                                  45.0,
                                  90.0,
                                  -90.0,
                                  180.0,
                                  360.0,
                                  std::numeric_limits<double>::denorm_min(),
                                  1e300,
                                  -1e300,
                                  std::numeric_limits<double>::quiet_NaN(),
                                  std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity()};
    constexpr int awkwardCount = int(sizeof awkward / sizeof awkward[0]);
    const quint8 selector = in.take<quint8>();
    return selector < 128 ? awkward[selector % awkwardCount] : in.take<double>();
}

RadarConfig takeConfig(FuzzInput& in)
{
    RadarConfig config;
    config.tilt = takeDouble(in);
    config.pan = takeDouble(in);
    config.height = takeDouble(in);
    config.panOffset = takeDouble(in);
    const quint8 selector = in.take<quint8>();
    config.orientation = selector < 128 ? selector & 1 : in.take<qint32>();
    return config;
}

template <typename T> void resize(QVector<T>& array, FuzzInput& in)
{
    const quint8 selector = in.take<quint8>();
    array.resize(selector < 192 ? wire::cellCount : in.below(maxCells + 1));
}

template <typename T> void fill(QVector<T>& array, bool fromInput, FuzzInput& in)
{
    if (fromInput)
        array.fill(in.take<T>());
}

template <typename T> void set(QVector<T>& array, int cell, T value)
{
    if (cell < array.size())
        array[cell] = value;
}

RadarPacketData takePacket(qint64 timestampMs, FuzzInput& in)
{
    RadarPacketData p = PacketEncoder::emptyPacket(timestampMs);
    resize(p.amplitude, in);
    resize(p.relVelocity, in);
    resize(p.distance, in);
    resize(p.elevation, in);
    resize(p.azimuth, in);
    resize(p.phaseDiff, in);
    const quint8 fills = in.take<quint8>();
    fill(p.amplitude, fills & 0x01, in);
    fill(p.relVelocity, fills & 0x02, in);
    fill(p.distance, fills & 0x04, in);
    fill(p.elevation, fills & 0x08, in);
    fill(p.azimuth, fills & 0x10, in);
    fill(p.phaseDiff, fills & 0x20, in);

    const int edits = in.take<quint8>();
    for (int e = 0; e < edits && !in.atEnd(); ++e) {
        const int kind = in.take<quint8>() % 8;
        const int cell = in.below(maxCells);
        switch (kind) {
        case 0:
            set(p.amplitude, cell, in.take<signed char>());
            break;
        case 1:
            set(p.relVelocity, cell, in.take<float>());
            break;
        case 2:
            set(p.distance, cell, in.take<float>());
            break;
        case 3:
            set(p.elevation, cell, in.take<float>());
            break;
        case 4:
            set(p.azimuth, cell, in.take<float>());
            break;
        case 5:
            set(p.phaseDiff, cell, in.take<short>());
            break;
        default:
            set(p.amplitude, cell, in.take<signed char>());
            set(p.relVelocity, cell, in.take<float>());
            set(p.distance, cell, in.take<float>());
            set(p.elevation, cell, in.take<float>());
            set(p.azimuth, cell, in.take<float>());
            break;
        }
    }
    return p;
}

// Everything an engine reported, in order.
class Trace
{
public:
    void add(qint64 value) { values_.push_back({false, quint64(value)}); }
    void add(double value)
    {
        quint64 bits;
        std::memcpy(&bits, &value, sizeof bits);
        values_.push_back({true, bits});
    }

    bool operator==(const Trace& other) const
    {
        return std::equal(values_.begin(), values_.end(), other.values_.begin(),
                          other.values_.end(), [](const Value& a, const Value& b) {
                              return a.isDouble == b.isDouble &&
                                     (a.bits == b.bits || (a.isDouble && isNan(a) && isNan(b)));
                          });
    }

private:
    struct Value
    {
        bool isDouble;
        quint64 bits;
    };

    static bool isNan(const Value& v)
    {
        double d;
        std::memcpy(&d, &v.bits, sizeof d);
        return std::isnan(d);
    }

    std::vector<Value> values_;
};

int cellsRead(const RadarPacketData& p)
{
    return std::min({p.amplitude.size(), p.relVelocity.size(), p.distance.size(),
                     p.elevation.size(), p.azimuth.size()});
}

Trace run(const std::uint8_t* data, std::size_t size)
{
    FuzzInput in(data, size);
    TargetTracking engine;
    engine.radarConfig() = takeConfig(in);
    Trace trace;
    QVector<TargetData> targets;
    QVector<ValidationData> validation;
    qint64 timestampMs = 0; // the last one generated

    while (!in.atEnd()) {
        const int op = in.take<quint8>() % 4;
        if (op == 2) {
            engine.resetTracking();
            continue;
        }
        if (op == 3) {
            engine.radarConfig() = takeConfig(in);
            continue;
        }

        const quint8 selector = in.take<quint8>();
        timestampMs = selector < 128 ? qint64(quint64(timestampMs) + quint64(in.take<qint16>()))
                                     : in.take<qint64>();
        const RadarPacketData packet = takePacket(timestampMs, in);

        if (op == 0) {
            long reported = 0;
            engine.getTargetsFromData(packet, reported, targets);
            check(reported == packet.timestamp, "targets come with the packet's timestamp");
            trace.add(qint64(reported));
            trace.add(qint64(targets.size()));
            for (const TargetData& t : qAsConst(targets)) {
                check(t.number >= 1 && t.number <= 255, "target numbers run from 1 to 255");
                trace.add(qint64(t.number));
                trace.add(t.elevation);
                trace.add(t.azimuth);
                trace.add(t.distance);
                trace.add(t.velocity);
                trace.add(qint64(t.confirmed));
            }
        } else {
            engine.getValidationFromData(packet, validation);
            const int cells = cellsRead(packet);
            check(validation.size() <= cells, "at most one validation record per cell");
            trace.add(qint64(validation.size()));
            for (const ValidationData& v : qAsConst(validation)) {
                check(v.index > -cells && v.index < cells, "validation records name a cell");
                trace.add(qint64(v.index));
                trace.add(double(v.elevation));
                trace.add(double(v.azimuth));
                trace.add(double(v.distance));
                trace.add(double(v.velocity));
            }
        }
    }
    return trace;
}

} // namespace
} // namespace trklib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace trklib::fuzz;
    // One engine after the other: target numbers come from a counter that
    // every engine shares and that a new engine resets.
    const Trace first = run(data, size);
    const Trace second = run(data, size);
    check(first == second, "the same input gives the same output on a fresh engine");
    return 0;
}
