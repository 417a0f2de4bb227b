#pragma once

#include "engine/targettracking.h"
#include "input/dataparser.h"

#include <QByteArray>
#include <QVector>

#include <optional>

namespace trklib::replay {

class CsvWriter;

// Feeds radar datagrams, in capture order, to one parser and tracks every
// packet it completes, as a live engine would: validation records first
// (when asked for), then the targets, both from the same packet. A packet
// that lost a datagram is left to the parser, which gives it up when the
// next header arrives. A live read gives up after waiting a second for a
// datagram, and the next read starts the parser afresh: so a longer pause
// between two datagrams drops the packet they were part of here too.
class ReplayDriver
{
public:
    // validation may be null. The writers must outlive the driver.
    ReplayDriver(const RadarConfig& config, CsvWriter& targets, CsvWriter* validation);

    // timeUs: the capture time of the frame that carried or completed the
    // datagram, microseconds.
    void offer(const QByteArray& datagram, qint64 timeUs);

    int completedPackets() const { return completed_; }

private:
    void track(const RadarPacketData& packet);

    TargetTracking tracking_;
    DataParser parser_;
    CsvWriter& targetsOut_;
    CsvWriter* validationOut_;
    QVector<TargetData> targets_;
    QVector<ValidationData> validation_;
    int completed_ = 0;
    std::optional<qint64> lastDatagramUs_;
};

} // namespace trklib::replay
