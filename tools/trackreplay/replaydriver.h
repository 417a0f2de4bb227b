#pragma once

#include "engine/targettracking.h"
#include "tools/common/capture/datagramextractor.h"

#include "input/datagramassembler.h"

#include <QByteArray>
#include <QVector>

namespace trklib::replay {

class CsvWriter;

// Feeds radar datagrams, in capture order and with their capture times, to
// the library's datagram assembler and tracks every packet it completes, as
// a live engine would: validation records first (when asked for), then the
// targets, both from the same packet. The assembler gives up a packet that
// lost a datagram, or whose datagrams are further apart than a live read
// waits, as the live reader does. One sender is followed at a time, as a
// live engine follows one, with the capture times as arrival times: a
// capture of two senders gives what trackd tracks of it.
class ReplayDriver
{
public:
    // validation may be null. The writers must outlive the driver.
    ReplayDriver(const RadarConfig& config, CsvWriter& targets, CsvWriter* validation);

    // timeUs: the capture time of the frame that carried or completed the
    // datagram, microseconds.
    void offer(const capture::CapturedDatagram& datagram, qint64 timeUs);

    int completedPackets() const { return completed_; }
    // Datagrams dropped because another sender was followed.
    quint64 competingDatagrams() const { return assembler_.competingDatagrams(); }

private:
    void track(const RadarPacketData& packet);

    TargetTracking tracking_;
    DatagramAssembler assembler_;
    CsvWriter& targetsOut_;
    CsvWriter* validationOut_;
    QVector<TargetData> targets_;
    QVector<ValidationData> validation_;
    int completed_ = 0;
};

} // namespace trklib::replay
