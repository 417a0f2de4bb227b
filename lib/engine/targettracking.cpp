#include "engine/targettracking.h"

#include "detection/packetmaxima.h"
#include "engine/cycle.h"
#include "input/datagramassembler.h"
#include "input/radarsocket.h"
#include "util/util.h"

#include <QHostAddress>

#include <algorithm>
#include <limits>

namespace trklib {

// The engine's layout is part of the library's binary interface: clients
// construct engines of their own.
static_assert(sizeof(TargetTracking) == 136, "the engine's size stays as it was");

// Every engine numbers its own targets (lastTargetNumber_ starts at 0), so
// constructing one leaves the numbering of the others alone.
TargetTracking::TargetTracking()
    : socket_(std::make_unique<RadarSocket>(radarPort)),
      assembler_(std::make_unique<DatagramAssembler>())
{
    // An engine fed by two radars tracks neither.
    assembler_->setOneSender(true);
}

// Members go in reverse order: the lists, the assembler, then the socket, whose
// destructor closes the UDP socket. No disconnect() is needed first.
TargetTracking::~TargetTracking() = default;

void TargetTracking::connect()
{
    socket_->bind();
}

bool TargetTracking::connect(const ReceiverConfig& config)
{
    // An empty address means every interface, or any sender.
    const auto parse = [](const std::string& text, QHostAddress& address) {
        return text.empty() || address.setAddress(QString::fromStdString(text));
    };
    QHostAddress local;
    QHostAddress radar;
    if (!parse(config.bindAddress, local) || !parse(config.radarAddress, radar) ||
        config.port == 0) {
        socket_->unbind();
        return false;
    }
    return socket_->bind(local, config.port, radar);
}

void TargetTracking::disconnect()
{
    socket_->unbind();
}

// Timestamps are whatever a sender put into its packets: two of them may lie
// further apart than a long holds. The elapsed time then saturates, which
// the tracker treats like any other very long pause.
void TargetTracking::setTimes(long previous, long current)
{
    previousTime_ = previous;
    currentTime_ = current;
    if (__builtin_sub_overflow(current, previous, &timeDelta_))
        timeDelta_ = current > previous ? std::numeric_limits<long>::max()
                                        : std::numeric_limits<long>::min();
}

void TargetTracking::resetTracking()
{
    lastTargetNumber_ = 0;
    initialized_ = false;
    setTimes(0, 0);
    negativeCandidates_.clear();
    positiveCandidates_.clear();
    negativeTargets_.clear();
    positiveTargets_.clear();
}

int TargetTracking::getTargets(long& timestamp, QVector<TargetData>& targets,
                               RadarPacketData& packet)
{
    const int status = getRadarPacket(packet);
    if (status == 0)
        getTargetsImpl(packet, timestamp, targets);
    return status;
}

int TargetTracking::getTargets(long& timestamp, QVector<TargetData>& targets)
{
    RadarPacketData packet;
    return getTargets(timestamp, targets, packet);
}

void TargetTracking::getTargetsFromData(const RadarPacketData& packet, long& timestamp,
                                        QVector<TargetData>& targets)
{
    getTargetsImpl(packet, timestamp, targets);
}

namespace {

// One target as the caller sees it: the elevation of the ground point under
// the target at its horizontal range, relative to the tilt; the azimuth
// relative to the pan (mirrored for vertical mounting); velocity in km/h.
TargetData toTargetData(const Target& t, const RadarConfig& c)
{
    TargetData data;
    data.number = t.number_;
    data.elevation = -util::atand(c.height / (util::cosd(t.elevation) * t.distance)) - c.tilt;
    data.azimuth = t.azimuth - c.pan;
    if (c.orientation == 1)
        data.azimuth = -data.azimuth;
    data.distance = t.distance;
    data.velocity = util::mpsToKph(t.absVelocity);
    data.confirmed = t.status() == Target::Confirmed;
    return data;
}

TargetReflectivity toReflectivity(const Target& t)
{
    TargetReflectivity data;
    data.number = t.number_;
    data.meanDbsm = t.rcsMean_;
    data.maxDbsm = t.rcsMax_;
    // The latest sample is kept in single precision, which may round it
    // above the maximum it set.
    data.lastDbsm = std::min(double(t.rcsLast_), t.rcsMax_);
    data.samples = std::uint32_t(t.rcsCount_);
    return data;
}

// The targets a cycle reports: the numbered ones of both streams, the
// negative stream first, each oldest first.
template <typename Report>
void forEachReported(const QVector<Target>& negative, const QVector<Target>& positive,
                     Report report)
{
    for (const QVector<Target>* stream : {&negative, &positive}) {
        for (const Target& t : *stream) {
            if (t.number_ != 0)
                report(t);
        }
    }
}

} // namespace

void TargetTracking::targetReflectivity(QVector<TargetReflectivity>& reflectivity) const
{
    reflectivity.resize(0);
    forEachReported(negativeTargets_, positiveTargets_,
                    [&reflectivity](const Target& t) { reflectivity.append(toReflectivity(t)); });
}

void TargetTracking::getTargetsImpl(const RadarPacketData& packet, long& timestamp,
                                    QVector<TargetData>& targets)
{
    targets.resize(0); // keeps the capacity
    if (!initialized_) {
        // The first packet only sets the time base; tracking starts with the next.
        setTimes(packet.timestamp, packet.timestamp);
        initialized_ = true;
        timestamp = currentTime_;
        return;
    }
    setTimes(currentTime_, packet.timestamp);
    performTracking(packet);

    forEachReported(negativeTargets_, positiveTargets_, [this, &targets](const Target& t) {
        targets.append(toTargetData(t, radarConfig_));
    });
    timestamp = currentTime_;
}

// The maxima come straight from the packet's arrays, as
// rectifyData(getRadarData(packet)) would give them.
void TargetTracking::performTracking(const RadarPacketData& packet)
{
    QVector<RadarDataMax>& maxima = CycleScratch::local().maxima;
    detection::packetMaxima(packet, radarConfig_, detectionThreshold(), maxima);
    checkHarmonics(maxima);
    algorithmConvoy(maxima);
}

ReceptionStats TargetTracking::receptionStats() const
{
    const RadarSocket::Counts read = socket_->counts();
    const DatagramAssembler::Counts assembled = assembler_->counts();
    ReceptionStats stats;
    stats.datagrams = read.datagrams;
    stats.foreignDatagrams = read.foreignDatagrams;
    stats.strayDatagrams = assembled.strayDatagrams;
    stats.packets = assembled.packets;
    stats.abandonedPackets = assembled.abandonedPackets;
    stats.badHeaders = assembled.badHeaders;
    stats.readErrors = read.failedReads;
    stats.senders = read.senders;
    stats.receiveBufferBytes = socket_->effectiveReceiveBufferBytes();
    return stats;
}

std::uint64_t TargetTracking::competingDatagrams() const
{
    return assembler_->competingDatagrams();
}

} // namespace trklib
