#include "replaydriver.h"

#include "csvwriter.h"

namespace trklib::replay {

ReplayDriver::ReplayDriver(const RadarConfig& config, CsvWriter& targets, CsvWriter* validation)
    : targetsOut_(targets), validationOut_(validation)
{
    tracking_.radarConfig() = config;
    assembler_.setOneSender(true);
}

void ReplayDriver::offer(const capture::CapturedDatagram& datagram, qint64 timeUs)
{
    // A bad header or a datagram that fits no step is skipped, as the live
    // reader does: it reports a bad header and goes on with the next read.
    if (assembler_.offer(datagram.payload, datagram.source, datagram.sourcePort, timeUs) ==
        DataParser::Complete)
        track(assembler_.packet());
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
