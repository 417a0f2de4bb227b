#include "input/datagramassembler.h"

#include <algorithm>
#include <vector>

namespace trklib {

namespace {

// One sender's packet in progress.
struct Stream
{
    QHostAddress address;
    quint16 port = 0;
    DataParser parser;
    bool hasArrival = false;
    qint64 lastArrivalUs = 0;
    quint64 lastHeard = 0; // the assembler's offer count when last heard
};

} // namespace

struct DatagramAssembler::Private
{
    std::vector<std::unique_ptr<Stream>> streams; // at most maxSenders
    // The stream whose parser completed the last packet. The packet is
    // taken from the parser when asked for, not copied on completion: a
    // copy held here would make the parser's next packet detach its arrays.
    const Stream* completed = nullptr;
    Counts counts;

    // One sender at a time: the followed sender, which has completed a
    // packet, and the arrival time of its last datagram, when that had one.
    bool oneSender = false;
    bool following = false;
    QHostAddress followedAddress;
    quint16 followedPort = 0;
    bool followedTimed = false;
    qint64 followedLastUs = 0;
    quint64 competingDatagrams = 0;

    bool admit(const QHostAddress& address, quint16 port, const qint64* arrivalUs);
    void follow(const Stream& stream, const qint64* arrivalUs);
    void forget(const QHostAddress& address, quint16 port);
    Stream& streamOf(const QHostAddress& address, quint16 port);
    DataParser::Status offer(Stream& stream, const QByteArray& datagram);
};

// Whether the datagram of this sender, arriving at *arrivalUs (null: at no
// known time), may go on to its stream: always, unless one sender at a time
// is followed and this is another one while the followed one is alive. A
// dropped datagram leaves a hole in its sender's packet in progress, which
// is given up.
bool DatagramAssembler::Private::admit(const QHostAddress& address, quint16 port,
                                       const qint64* arrivalUs)
{
    if (!oneSender || !following)
        return true;
    if (port == followedPort && address == followedAddress) {
        followedTimed = arrivalUs != nullptr;
        followedLastUs = arrivalUs ? *arrivalUs : 0;
        return true;
    }
    // A difference too large for 64 bits is a long silence too.
    qint64 silenceUs = 0;
    const bool silent = arrivalUs && followedTimed && *arrivalUs > followedLastUs &&
                        (__builtin_sub_overflow(*arrivalUs, followedLastUs, &silenceUs) ||
                         silenceUs >= takeoverSilenceUs);
    if (silent)
        return true; // assembled; its first complete packet takes over
    ++counts.datagrams;
    ++competingDatagrams;
    for (const std::unique_ptr<Stream>& s : streams) {
        if (s->port == port && s->address == address && s->parser.inPacket()) {
            s->parser.reset();
            ++counts.abandonedPackets;
        }
    }
    return false;
}

// Makes the sender of the stream that has just completed a packet the
// followed one, if it is not already; the old one's packet in progress is
// given up.
void DatagramAssembler::Private::follow(const Stream& stream, const qint64* arrivalUs)
{
    if (!oneSender)
        return;
    if (following && (stream.port != followedPort || stream.address != followedAddress))
        forget(followedAddress, followedPort);
    following = true;
    followedAddress = stream.address;
    followedPort = stream.port;
    followedTimed = arrivalUs != nullptr;
    followedLastUs = arrivalUs ? *arrivalUs : 0;
}

// Drops the sender's stream, giving up its packet in progress.
void DatagramAssembler::Private::forget(const QHostAddress& address, quint16 port)
{
    const auto it = std::find_if(streams.begin(), streams.end(), [&](const auto& s) {
        return s->port == port && s->address == address;
    });
    if (it == streams.end())
        return;
    if ((*it)->parser.inPacket())
        ++counts.abandonedPackets;
    if (completed == it->get())
        completed = nullptr;
    streams.erase(it);
}

// The sender's stream; a new sender takes the place of the one heard least
// recently once maxSenders are followed.
Stream& DatagramAssembler::Private::streamOf(const QHostAddress& address, quint16 port)
{
    for (const std::unique_ptr<Stream>& s : streams) {
        if (s->port == port && s->address == address)
            return *s;
    }
    if (int(streams.size()) < maxSenders) {
        streams.push_back(std::make_unique<Stream>());
    } else {
        const auto quietest =
            std::min_element(streams.begin(), streams.end(), [](const auto& a, const auto& b) {
                return a->lastHeard < b->lastHeard;
            });
        if ((*quietest)->parser.inPacket())
            ++counts.abandonedPackets;
        if (completed == quietest->get())
            completed = nullptr;
        *quietest = std::make_unique<Stream>();
        std::rotate(quietest, quietest + 1, streams.end()); // the new one last
    }
    Stream& s = *streams.back();
    s.address = address;
    s.port = port;
    return s;
}

DataParser::Status DatagramAssembler::Private::offer(Stream& stream, const QByteArray& datagram)
{
    stream.lastHeard = ++counts.datagrams;
    const bool wasInPacket = stream.parser.inPacket();
    const DataParser::Status status = stream.parser.parseDatagram(datagram);
    // A header in the middle of a packet, or bytes that overran a block,
    // end the packet in progress.
    if (wasInPacket && (status == DataParser::BadSize || DataParser::looksLikeHeader(datagram)))
        ++counts.abandonedPackets;
    switch (status) {
    case DataParser::Complete:
        ++counts.packets;
        completed = &stream;
        break;
    case DataParser::BadHeader:
        ++counts.badHeaders;
        break;
    case DataParser::BadSize:
        ++counts.strayDatagrams;
        break;
    case DataParser::Incomplete:
        break;
    }
    return status;
}

DatagramAssembler::DatagramAssembler() : d_(std::make_unique<Private>()) {}

DatagramAssembler::~DatagramAssembler() = default;

DataParser::Status DatagramAssembler::offer(const QByteArray& datagram, const QHostAddress& sender,
                                            quint16 senderPort)
{
    if (!d_->admit(sender, senderPort, nullptr))
        return DataParser::BadSize;
    Stream& stream = d_->streamOf(sender, senderPort);
    const DataParser::Status status = d_->offer(stream, datagram);
    if (status == DataParser::Complete)
        d_->follow(stream, nullptr);
    return status;
}

DataParser::Status DatagramAssembler::offer(const QByteArray& datagram, const QHostAddress& sender,
                                            quint16 senderPort, qint64 arrivalUs)
{
    if (!d_->admit(sender, senderPort, &arrivalUs))
        return DataParser::BadSize;
    Stream& stream = d_->streamOf(sender, senderPort);
    if (stream.hasArrival && arrivalUs > stream.lastArrivalUs) {
        // A difference too large for 64 bits is a long pause too.
        qint64 pauseUs = 0;
        if ((__builtin_sub_overflow(arrivalUs, stream.lastArrivalUs, &pauseUs) ||
             pauseUs > maxPauseUs) &&
            stream.parser.inPacket()) {
            stream.parser.reset();
            ++d_->counts.abandonedPackets;
        }
    }
    stream.hasArrival = true;
    stream.lastArrivalUs = arrivalUs;
    const DataParser::Status status = d_->offer(stream, datagram);
    if (status == DataParser::Complete)
        d_->follow(stream, &arrivalUs);
    return status;
}

DataParser::Status DatagramAssembler::offer(const QByteArray& datagram)
{
    return offer(datagram, QHostAddress(), 0);
}

DataParser::Status DatagramAssembler::offer(const QByteArray& datagram, qint64 arrivalUs)
{
    return offer(datagram, QHostAddress(), 0, arrivalUs);
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
    return d_->completed ? d_->completed->parser.radarPacketData() : RadarPacketData();
}

void DatagramAssembler::restart()
{
    for (const std::unique_ptr<Stream>& s : d_->streams) {
        if (s->parser.inPacket()) {
            s->parser.reset();
            ++d_->counts.abandonedPackets;
        }
    }
}

DatagramAssembler::Counts DatagramAssembler::counts() const
{
    return d_->counts;
}

void DatagramAssembler::setOneSender(bool on)
{
    d_->oneSender = on;
    d_->following = false;
}

bool DatagramAssembler::oneSender() const
{
    return d_->oneSender;
}

bool DatagramAssembler::followedSender(QHostAddress& address, quint16& port) const
{
    if (!d_->following)
        return false;
    address = d_->followedAddress;
    port = d_->followedPort;
    return true;
}

quint64 DatagramAssembler::competingDatagrams() const
{
    return d_->competingDatagrams;
}

} // namespace trklib
