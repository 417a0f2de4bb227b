// Timing of one tracking cycle and of each of its stages on a busy, realistic
// packet stream. The packets are built before any timing starts.
#include "bench/benchstream.h"

#include "engine/targettracking.h"
#include "input/datagramassembler.h"
#include "input/packetencoder.h"

#include <benchmark/benchmark.h>

namespace trklib::bench {
namespace {

constexpr int warmUpPackets = 40; // long enough for tracks to be numbered
constexpr int representativePacket = 600;
constexpr int udpPayloadBytes = 1400; // typical datagram size on an Ethernet link

const QVector<RadarPacketData>& stream()
{
    static const QVector<RadarPacketData> packets = makeStream();
    return packets;
}

// The stream's maxima after harmonic suppression, as algorithmConvoy sees them.
const QVector<QVector<RadarDataMax>>& streamMaxima()
{
    static const QVector<QVector<RadarDataMax>> maxima = [] {
        TargetTracking engine;
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

// Feeds packets from the warm-up's end on, restarting (outside the timing)
// when the stream runs out, so every timed call sees live tracks.
class StreamCursor
{
public:
    explicit StreamCursor(TargetTracking& engine) : engine_(engine) { warmUp(); }

    int next(benchmark::State& state)
    {
        if (position_ == stream().size()) {
            state.PauseTiming();
            warmUp();
            state.ResumeTiming();
        }
        return position_++;
    }

private:
    void warmUp()
    {
        engine_.resetTracking();
        long timestamp = 0;
        QVector<TargetData> targets;
        for (position_ = 0; position_ < warmUpPackets; ++position_)
            engine_.getTargetsFromData(stream()[position_], timestamp, targets);
    }

    TargetTracking& engine_;
    int position_ = 0;
};

void BM_GetTargetsFromData(benchmark::State& state)
{
    TargetTracking engine;
    StreamCursor cursor(engine);
    long timestamp = 0;
    QVector<TargetData> targets;
    double reported = 0;
    for (auto _ : state) {
        engine.getTargetsFromData(stream()[cursor.next(state)], timestamp, targets);
        reported += targets.size();
    }
    state.counters["targets"] = benchmark::Counter(reported, benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetTargetsFromData);

void BM_GetRadarData(benchmark::State& state)
{
    TargetTracking engine;
    const RadarPacketData& packet = stream()[representativePacket];
    for (auto _ : state)
        benchmark::DoNotOptimize(engine.getRadarData(packet));
    state.SetItemsProcessed(state.iterations() * wire::cellCount);
}
BENCHMARK(BM_GetRadarData);

void BM_RectifyData(benchmark::State& state)
{
    TargetTracking engine;
    const QVector<RadarData> cells = engine.getRadarData(stream()[representativePacket]);
    for (auto _ : state)
        benchmark::DoNotOptimize(engine.rectifyData(cells));
    state.SetItemsProcessed(state.iterations() * cells.size());
}
BENCHMARK(BM_RectifyData);

// The timed loop includes copying the maxima (the stage edits its list in
// place); the copy of a few dozen records is small against the stage.
void BM_CheckHarmonics(benchmark::State& state)
{
    TargetTracking engine;
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
BENCHMARK(BM_CheckHarmonics);

void BM_AlgorithmConvoy(benchmark::State& state)
{
    TargetTracking engine;
    StreamCursor cursor(engine);
    for (auto _ : state) {
        const int k = cursor.next(state);
        engine.setTimes(engine.currentTime(), long(stream()[k].timestamp));
        engine.algorithmConvoy(streamMaxima()[k]);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AlgorithmConvoy);

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
BENCHMARK(BM_DatagramAssembly)->Arg(0)->Arg(udpPayloadBytes);

} // namespace
} // namespace trklib::bench
