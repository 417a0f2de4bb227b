#include "replaydriver.h"

#include "csvwriter.h"

#include "input/radarsocket.h"

namespace trklib::replay {

ReplayDriver::ReplayDriver(const RadarConfig& config, CsvWriter& targets, CsvWriter* validation)
    : targetsOut_(targets), validationOut_(validation)
{
    tracking_.radarConfig() = config;
}

void ReplayDriver::offer(const QByteArray& datagram, qint64 timeUs)
{
    constexpr qint64 readTimeoutUs = qint64(RadarSocket::datagramWaitMs) * 1000;
    if (lastDatagramUs_ && timeUs - *lastDatagramUs_ > readTimeoutUs)
        parser_.reset();
    lastDatagramUs_ = timeUs;

    // A bad header or a datagram that fits no step is skipped, as the live
    // reader does: it reports a bad header and goes on with the next read.
    if (parser_.parseDatagram(datagram) == DataParser::Complete)
        track(parser_.radarPacketData());
}

void ReplayDriver::track(const RadarPacketData& packet)
{
    const int number = completed_++;
    if (validationOut_) {
        tracking_.getValidationFromData(packet, validation_);
        for (const ValidationData& record : qAsConst(validation_))
            validationOut_->writeValidation(number, long(packet.timestamp), record);
    }
    long timestamp = 0;
    tracking_.getTargetsFromData(packet, timestamp, targets_);
    for (const TargetData& target : qAsConst(targets_))
        targetsOut_.writeTarget(number, timestamp, target);
}

} // namespace trklib::replay
