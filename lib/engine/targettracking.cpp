#include "engine/targettracking.h"

#include "input/datagramassembler.h"
#include "input/radarsocket.h"
#include "util/util.h"

namespace trklib {

TargetTracking::TargetTracking()
    : socket_(std::make_unique<RadarSocket>(radarPort)),
      assembler_(std::make_unique<DatagramAssembler>())
{
    Target::resetNumberGenerator();
}

// Members go in reverse order: the lists, the assembler, then the socket, whose
// destructor closes the UDP socket. No disconnect() is needed first.
TargetTracking::~TargetTracking() = default;

void TargetTracking::connect()
{
    socket_->bind();
}

void TargetTracking::disconnect()
{
    socket_->unbind();
}

void TargetTracking::setTimes(long previous, long current)
{
    previousTime_ = previous;
    currentTime_ = current;
    timeDelta_ = current - previous;
}

void TargetTracking::resetTracking()
{
    Target::resetNumberGenerator();
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

} // namespace

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

    for (const QVector<Target>* stream : {&negativeTargets_, &positiveTargets_}) {
        for (const Target& t : *stream) {
            if (t.number_ != 0)
                targets.append(toTargetData(t, radarConfig_));
        }
    }
    timestamp = currentTime_;
}

void TargetTracking::performTracking(const RadarPacketData& packet)
{
    const QVector<RadarData> cells = getRadarData(packet);
    QVector<RadarDataMax> maxima = rectifyData(cells);
    checkHarmonics(maxima);
    algorithmConvoy(maxima);
}

} // namespace trklib
