#include "input/dataparser.h"

#include <cstring>

namespace trklib {

DataParser::DataParser(QObject* parent)
    : QObject(parent), steps_{&DataParser::parseHeader,      &DataParser::parseAmplitude,
                              &DataParser::parseRelVelocity, &DataParser::parseDistance,
                              &DataParser::parseElevation,   &DataParser::parseAzimuth,
                              &DataParser::parsePhaseDiff},
      currentStep_(steps_.cbegin())
{}

// A datagram that brings a step's bytes whole is read where it lies; only
// bytes that wait for the rest of their block are copied, into a buffer of
// the parser's own, since the caller's datagram may be gone by then.
DataParser::Status DataParser::parseDatagram(const QByteArray& datagram)
{
    // A header arriving while an array block is incomplete means datagrams of
    // the previous packet were lost: abandon it rather than take the header
    // for array bytes and make one packet out of two.
    if (inPacket() && looksLikeHeader(datagram))
        reset();

    if (buffer_.isEmpty())
        buffer_ = datagram; // shared, not copied
    else
        buffer_.append(datagram);
    const Status status = (*currentStep_)(this);
    switch (status) {
    case Complete:
        buffer_.clear();
        if (++currentStep_ == steps_.cend()) {
            reset();
            return Complete;
        }
        return Incomplete;
    case BadHeader:
    case BadSize:
        // Drop what was gathered and wait for the next header.
        buffer_.clear();
        currentStep_ = steps_.cbegin();
        return status;
    case Incomplete:
        buffer_.detach(); // the bytes so far, kept
        break;
    }
    return Incomplete;
}

bool DataParser::looksLikeHeader(const QByteArray& datagram)
{
    return datagram.size() == headerBytes &&
           std::memcmp(datagram.constData(), wire::syncPattern.data(), wire::syncBytes) == 0;
}

RadarPacketData DataParser::radarPacketData() const
{
    return packet_;
}

void DataParser::reset()
{
    currentStep_ = steps_.cbegin();
    buffer_.clear();
}

namespace {

// A little-endian value at offset of the header; the wire order is the
// memory order of a little-endian host.
template <typename T> void readAt(const char* header, int offset, T& value)
{
    static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "header fields are copied as they stand");
    std::memcpy(&value, header + offset, sizeof value);
}

} // namespace

// The fields are taken in wire order and checked as they come: a header
// rejected for its sync pattern leaves the fields after it as they were,
// one rejected for its version the fields after the version.
DataParser::Status DataParser::parseHeader()
{
    if (buffer_.size() != headerBytes)
        return BadSize;

    const char* h = buffer_.constData();
    std::memcpy(packet_.sync.data(), h, wire::syncBytes);
    if (std::memcmp(packet_.sync.data(), wire::syncPattern.data(), wire::syncBytes) != 0)
        return BadHeader;
    readAt(h, 6, packet_.version);
    if (packet_.version != wire::version)
        return BadHeader;
    readAt(h, 7, packet_.headerSize);
    if (packet_.headerSize != headerBytes)
        return BadHeader;
    readAt(h, 8, packet_.info08);
    readAt(h, 10, packet_.info10);
    readAt(h, 11, packet_.info11);
    readAt(h, wire::timestampOffset, packet_.timestamp);
    readAt(h, 20, packet_.info20);
    readAt(h, 24, packet_.info24);
    readAt(h, 28, packet_.info28);
    readAt(h, 29, packet_.info29);
    readAt(h, 30, packet_.info30);
    readAt(h, 31, packet_.info31);
    readAt(h, 32, packet_.info32);
    readAt(h, 36, packet_.info36);
    readAt(h, 40, packet_.info40);
    readAt(h, 41, packet_.info41);
    readAt(h, 42, packet_.info42);
    readAt(h, 44, packet_.info44);
    return Complete;
}

// The body of every array step. The wire order is the memory order of a
// little-endian host, so each block is taken by one copy. More bytes than the
// block holds mean the stream lost its alignment: the packet is broken, and
// nothing beyond the block's own bytes is ever copied.
template <typename T> DataParser::Status DataParser::parseDataType(QVector<T>& array)
{
    static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "array blocks are copied as they stand");
    constexpr int blockBytes = cellCount * int(sizeof(T));
    if (buffer_.size() < blockBytes)
        return Incomplete;
    if (buffer_.size() > blockBytes)
        return BadSize;
    array.resize(cellCount);
    std::memcpy(array.data(), buffer_.constData(), size_t(blockBytes));
    return Complete;
}

DataParser::Status DataParser::parseAmplitude()
{
    return parseDataType(packet_.amplitude);
}

DataParser::Status DataParser::parseRelVelocity()
{
    return parseDataType(packet_.relVelocity);
}

DataParser::Status DataParser::parseDistance()
{
    return parseDataType(packet_.distance);
}

DataParser::Status DataParser::parseElevation()
{
    return parseDataType(packet_.elevation);
}

DataParser::Status DataParser::parseAzimuth()
{
    return parseDataType(packet_.azimuth);
}

DataParser::Status DataParser::parsePhaseDiff()
{
    return parseDataType(packet_.phaseDiff);
}

} // namespace trklib
