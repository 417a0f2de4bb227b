// Timing of one tracking cycle on scenes of known size, of its tail on a
// dense scene and in a burst, of each stage on a busy scene, and of two
// floors that any cycle has to be compared with: copying one packet and one
// pass that reads every cell. The packets are built before any timing
// starts; the engine has the simulator's mounting.
#include "bench/benchstatistics.h"
#include "bench/benchstream.h"

#include "engine/targettracking.h"
#include "input/datagramassembler.h"
#include "input/packetencoder.h"
#include "tools/common/cli/mountingoptions.h"

#include <benchmark/benchmark.h>

#include <QHash>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <numeric>
#include <vector>

namespace trklib::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int warmUpPackets = 40;       // highway: long enough for tracks to be numbered
constexpr int objectWarmUpPackets = 10; // object scenes: every object numbered by then
constexpr int representativePacket = 600;
constexpr int udpPayloadBytes = 1400; // typical datagram size on an Ethernet link

// Streams are made once, on first use, outside any timing.
const QVector<RadarPacketData>& streamNamed(const QString& name)
{
    static QHash<QString, QVector<RadarPacketData>> streams;
    auto it = streams.find(name);
    if (it == streams.end())
        it = streams.insert(name, streamByName(name));
    return *it;
}

const QVector<RadarPacketData>& stream()
{
    return streamNamed(QStringLiteral("highway"));
}

void mount(TargetTracking& engine)
{
    engine.radarConfig() = cli::defaultMounting();
}

// The stream's maxima after harmonic suppression, as algorithmConvoy sees them.
const QVector<QVector<RadarDataMax>>& streamMaxima()
{
    static const QVector<QVector<RadarDataMax>> maxima = [] {
        TargetTracking engine;
        mount(engine);
        QVector<QVector<RadarDataMax>> all;
        for (const RadarPacketData& p : stream()) {
            QVector<RadarDataMax> m = engine.rectifyData(engine.getRadarData(p));
            engine.checkHarmonics(m);
            all.append(m);
        }
        return all;
    }();
    return maxima;
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// The floors. One packet's wire image copied as a whole.
void BM_FloorMemcpyPacket(benchmark::State& state)
{
    const QByteArray wire = PacketEncoder::wire(stream()[representativePacket]);
    std::vector<char> copy(size_t(wire.size()));
    for (auto _ : state) {
        std::memcpy(copy.data(), wire.constData(), copy.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * wire.size());
}
BENCHMARK(BM_FloorMemcpyPacket)->ComputeStatistics("min", leastOf);

quint32 bitsOf(float value)
{
    quint32 bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// One pass over the cells of a parsed packet that reads all six values of
// every cell, and nothing more.
void BM_FloorCellPass(benchmark::State& state)
{
    const RadarPacketData& p = stream()[representativePacket];
    for (auto _ : state) {
        const signed char* amplitude = p.amplitude.constData();
        const float* velocity = p.relVelocity.constData();
        const float* distance = p.distance.constData();
        const float* elevation = p.elevation.constData();
        const float* azimuth = p.azimuth.constData();
        const short* phase = p.phaseDiff.constData();
        quint32 sum = 0;
        for (int i = 0; i < wire::cellCount; ++i)
            sum += quint32(amplitude[i]) ^ bitsOf(velocity[i]) ^ bitsOf(distance[i]) ^
                   bitsOf(elevation[i]) ^ bitsOf(azimuth[i]) ^ quint32(phase[i]);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * wire::cellCount);
}
BENCHMARK(BM_FloorCellPass)->ComputeStatistics("min", leastOf);

// Feeds a stream's packets from the warm-up's end on; when the stream runs
// out, tracking restarts with the warm-up, outside the timing.
class StreamCursor
{
public:
    StreamCursor(TargetTracking& engine, const QVector<RadarPacketData>& packets, int warmUp)
        : engine_(engine), packets_(packets), warmUp_(warmUp)
    {
        restart();
    }

    int next(benchmark::State& state)
    {
        if (position_ == packets_.size()) {
            state.PauseTiming();
            restart();
            state.ResumeTiming();
        }
        return position_++;
    }

private:
    void restart()
    {
        engine_.resetTracking();
        long timestamp = 0;
        QVector<TargetData> targets;
        for (position_ = 0; position_ < warmUp_; ++position_)
            engine_.getTargetsFromData(packets_[position_], timestamp, targets);
    }

    TargetTracking& engine_;
    const QVector<RadarPacketData>& packets_;
    int warmUp_;
    int position_ = 0;
};

// One whole cycle, getTargetsFromData, per iteration: one packet of the
// stream after its warm-up.
void runCycles(benchmark::State& state, const QString& name, int warmUp)
{
    const QVector<RadarPacketData>& packets = streamNamed(name);
    TargetTracking engine;
    mount(engine);
    StreamCursor cursor(engine, packets, warmUp);
    long timestamp = 0;
    QVector<TargetData> targets;
    double reported = 0;
    for (auto _ : state) {
        engine.getTargetsFromData(packets[cursor.next(state)], timestamp, targets);
        reported += targets.size();
    }
    state.counters["targets"] = benchmark::Counter(reported, benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(state.iterations());
}

void BM_CycleObjects(benchmark::State& state)
{
    runCycles(state, QStringLiteral("objects%1").arg(state.range(0)), objectWarmUpPackets);
}
BENCHMARK(BM_CycleObjects)
    ->ArgName("objects")
    ->Arg(0)
    ->Arg(1)
    ->Arg(5)
    ->Arg(10)
    ->Arg(20)
    ->Arg(50)
    ->Arg(100)
    ->ComputeStatistics("min", leastOf);

void BM_CycleFalseAlarms(benchmark::State& state)
{
    runCycles(state, QStringLiteral("falsealarms100"), objectWarmUpPackets);
}
BENCHMARK(BM_CycleFalseAlarms)->ComputeStatistics("min", leastOf);

void BM_CycleHighway(benchmark::State& state)
{
    runCycles(state, QStringLiteral("highway"), warmUpPackets);
}
BENCHMARK(BM_CycleHighway)->ComputeStatistics("min", leastOf);

// Tracking is deterministic: every pass over a stream from a reset does the
// same work at every packet. A packet's cost is the least time it took in
// all passes, which leaves out the moments the thread was not running (the
// machine is shared); the figures below are taken over these costs.
class PacketCosts
{
public:
    explicit PacketCosts(int packets) : leastUs_(size_t(packets), 1e300) {}

    // Runs one pass, timing packets from first on; the pass's time, seconds.
    double pass(TargetTracking& engine, const QVector<RadarPacketData>& packets, int first = 0)
    {
        engine.resetTracking();
        long timestamp = 0;
        QVector<TargetData> targets;
        double total = 0.0;
        for (int k = 0; k < packets.size(); ++k) {
            const Clock::time_point start = Clock::now();
            engine.getTargetsFromData(packets[k], timestamp, targets);
            const double s = seconds(Clock::now() - start);
            if (k < first)
                continue;
            total += s;
            leastUs_[size_t(k)] = std::min(leastUs_[size_t(k)], s * 1e6);
        }
        return total;
    }

    std::vector<double> costsUs(int first = 0) const
    {
        return std::vector<double>(leastUs_.begin() + first, leastUs_.end());
    }

private:
    std::vector<double> leastUs_;
};

// The dense scene: the mean, median, 99th percentile and largest cost of
// one packet, microseconds. An iteration is one pass over the stream.
void BM_DenseScene(benchmark::State& state)
{
    const QVector<RadarPacketData>& packets = streamNamed(QStringLiteral("dense"));
    TargetTracking engine;
    mount(engine);
    PacketCosts costs(packets.size());
    for (auto _ : state)
        state.SetIterationTime(costs.pass(engine, packets));
    const std::vector<double> us = costs.costsUs();
    state.counters["mean_us"] = std::accumulate(us.begin(), us.end(), 0.0) / double(us.size());
    state.counters["p50_us"] = percentile(us, 0.50);
    state.counters["p99_us"] = percentile(us, 0.99);
    state.counters["max_us"] = *std::max_element(us.begin(), us.end());
}
BENCHMARK(BM_DenseScene)->UseManualTime()->ComputeStatistics("min", leastOf);

// A hundred objects appear at once. An iteration is one pass: the packet that
// starts the time base, then the objects' packets. The counters give the
// cost of the costliest of the objects' packets, microseconds, and which it
// is (1: the objects' first packet).
void BM_Burst100(benchmark::State& state)
{
    const QVector<RadarPacketData>& packets = streamNamed(QStringLiteral("burst100"));
    TargetTracking engine;
    mount(engine);
    PacketCosts costs(packets.size());
    for (auto _ : state)
        state.SetIterationTime(costs.pass(engine, packets, 1));
    const std::vector<double> us = costs.costsUs(1);
    const auto costliest = std::max_element(us.begin(), us.end());
    state.counters["costliest_us"] = *costliest;
    state.counters["costliest_packet"] = double(costliest - us.begin() + 1);
}
BENCHMARK(BM_Burst100)->UseManualTime()->ComputeStatistics("min", leastOf);

// The stages on the highway scene.
void BM_GetRadarData(benchmark::State& state)
{
    TargetTracking engine;
    mount(engine);
    const RadarPacketData& packet = stream()[representativePacket];
    for (auto _ : state)
        benchmark::DoNotOptimize(engine.getRadarData(packet));
    state.SetItemsProcessed(state.iterations() * wire::cellCount);
}
BENCHMARK(BM_GetRadarData)->ComputeStatistics("min", leastOf);

void BM_RectifyData(benchmark::State& state)
{
    TargetTracking engine;
    mount(engine);
    const QVector<RadarData> cells = engine.getRadarData(stream()[representativePacket]);
    for (auto _ : state)
        benchmark::DoNotOptimize(engine.rectifyData(cells));
    state.SetItemsProcessed(state.iterations() * cells.size());
}
BENCHMARK(BM_RectifyData)->ComputeStatistics("min", leastOf);

// The timed loop includes copying the maxima (the stage edits its list in
// place); the copy of a few dozen records is small against the stage.
void BM_CheckHarmonics(benchmark::State& state)
{
    TargetTracking engine;
    mount(engine);
    const QVector<RadarDataMax> maxima =
        engine.rectifyData(engine.getRadarData(stream()[representativePacket]));
    for (auto _ : state) {
        QVector<RadarDataMax> work = maxima;
        work.detach();
        engine.checkHarmonics(work);
        benchmark::DoNotOptimize(work.constData());
    }
    state.counters["maxima"] = double(maxima.size());
}
BENCHMARK(BM_CheckHarmonics)->ComputeStatistics("min", leastOf);

void BM_AlgorithmConvoy(benchmark::State& state)
{
    TargetTracking engine;
    mount(engine);
    StreamCursor cursor(engine, stream(), warmUpPackets);
    for (auto _ : state) {
        const int k = cursor.next(state);
        engine.setTimes(engine.currentTime(), long(stream()[k].timestamp));
        engine.algorithmConvoy(streamMaxima()[k]);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AlgorithmConvoy)->ComputeStatistics("min", leastOf);

// Reassembly of one packet from its datagrams: whole blocks (Arg 0) or
// blocks cut to Ethernet-sized datagrams.
void BM_DatagramAssembly(benchmark::State& state)
{
    const QVector<QByteArray> datagrams =
        PacketEncoder::datagrams(stream()[representativePacket], int(state.range(0)));
    DatagramAssembler assembler;
    for (auto _ : state)
        benchmark::DoNotOptimize(assembler.assemble(datagrams));
    state.SetBytesProcessed(state.iterations() * wire::packetBytes);
    state.counters["datagrams"] = double(datagrams.size());
}
BENCHMARK(BM_DatagramAssembly)->Arg(0)->Arg(udpPayloadBytes)->ComputeStatistics("min", leastOf);

} // namespace
} // namespace trklib::bench
