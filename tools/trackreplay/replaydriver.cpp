#include "replaydriver.h"

#include "csvwriter.h"

namespace trklib::replay {

ReplayDriver::ReplayDriver(const RadarConfig& config, CsvWriter& targets, CsvWriter* validation)
    : parser_(std::make_unique<DataParser>()), targetsOut_(targets), validationOut_(validation)
{
    tracking_.radarConfig() = config;
}

void ReplayDriver::offer(const QByteArray& datagram)
{
    // A datagram lost from the capture (a fragment missing, say) would make
    // the parser take the next packet's header and blocks as the rest of
    // this one. A valid header in the middle of a packet means the packet
    // cannot be completed any more: start over with the new one.
    if (midPacket_ && datagram.size() == DataParser::headerBytes) {
        auto fresh = std::make_unique<DataParser>();
        if (fresh->parseDatagram(datagram) == DataParser::Incomplete) {
            parser_ = std::move(fresh);
            ++abandoned_;
            return;
        }
    }

    switch (parser_->parseDatagram(datagram)) {
    case DataParser::Complete:
        midPacket_ = false;
        track(parser_->radarPacketData());
        break;
    case DataParser::Incomplete:
        midPacket_ = true;
        break;
    case DataParser::BadHeader:
        ++badHeaders_; // like the live reader: reported, then read on
        break;
    case DataParser::BadSize:
        break;
    }
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
