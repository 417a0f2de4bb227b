#include "input/datagramassembler.h"

namespace trklib {

struct DatagramAssembler::Private
{
    DataParser parser;
    bool hasArrival = false;
    qint64 lastArrivalUs = 0;
};

DatagramAssembler::DatagramAssembler() : d_(std::make_unique<Private>()) {}

DatagramAssembler::~DatagramAssembler() = default;

DataParser::Status DatagramAssembler::offer(const QByteArray& datagram)
{
    return d_->parser.parseDatagram(datagram);
}

DataParser::Status DatagramAssembler::offer(const QByteArray& datagram, qint64 arrivalUs)
{
    if (d_->hasArrival && arrivalUs > d_->lastArrivalUs) {
        // A difference too large for 64 bits is a long pause too.
        qint64 pauseUs = 0;
        if (__builtin_sub_overflow(arrivalUs, d_->lastArrivalUs, &pauseUs) || pauseUs > maxPauseUs)
            restart();
    }
    d_->hasArrival = true;
    d_->lastArrivalUs = arrivalUs;
    return offer(datagram);
}

std::optional<RadarPacketData> DatagramAssembler::assemble(const QVector<QByteArray>& datagrams)
{
    std::optional<RadarPacketData> last;
    for (const QByteArray& datagram : datagrams) {
        if (offer(datagram) == DataParser::Complete)
            last = packet();
    }
    return last;
}

RadarPacketData DatagramAssembler::packet() const
{
    return d_->parser.radarPacketData();
}

void DatagramAssembler::restart()
{
    d_->parser.reset();
}

} // namespace trklib
