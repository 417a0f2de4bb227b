#pragma once

#include "engine/targettracking.h"
#include "input/dataparser.h"

#include <QByteArray>
#include <QVector>

#include <memory>

namespace trklib::replay {

class CsvWriter;

// Feeds radar datagrams, in capture order, to one parser and tracks every
// packet it completes, as a live engine would: validation records first
// (when asked for), then the targets, both from the same packet.
class ReplayDriver
{
public:
    // validation may be null. The writers must outlive the driver.
    ReplayDriver(const RadarConfig& config, CsvWriter& targets, CsvWriter* validation);

    void offer(const QByteArray& datagram);

    int completedPackets() const { return completed_; }
    int badHeaders() const { return badHeaders_; }
    // Packets given up because a new header arrived before they were whole.
    int abandonedPackets() const { return abandoned_; }

private:
    void track(const RadarPacketData& packet);

    TargetTracking tracking_;
    std::unique_ptr<DataParser> parser_;
    bool midPacket_ = false; // a header was accepted, the packet is not whole yet
    CsvWriter& targetsOut_;
    CsvWriter* validationOut_;
    QVector<TargetData> targets_;
    QVector<ValidationData> validation_;
    int completed_ = 0;
    int badHeaders_ = 0;
    int abandoned_ = 0;
};

} // namespace trklib::replay
