#include "input/dataparser.h"

#include <QDataStream>

#include <cstring>

namespace trklib {

DataParser::DataParser(QObject* parent)
    : QObject(parent), steps_{&DataParser::parseHeader,      &DataParser::parseAmplitude,
                              &DataParser::parseRelVelocity, &DataParser::parseDistance,
                              &DataParser::parseElevation,   &DataParser::parseAzimuth,
                              &DataParser::parsePhaseDiff},
      currentStep_(steps_.cbegin())
{}

DataParser::Status DataParser::parseDatagram(const QByteArray& datagram)
{
    // A header arriving while an array block is incomplete means datagrams of
    // the previous packet were lost: abandon it rather than take the header
    // for array bytes and make one packet out of two.
    if (inPacket() && looksLikeHeader(datagram))
        reset();

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

DataParser::Status DataParser::parseHeader()
{
    if (buffer_.size() != headerBytes)
        return BadSize;

    QDataStream in(buffer_);
    in.setByteOrder(QDataStream::LittleEndian);
    for (qint8& b : packet_.sync)
        in >> b;
    if (std::memcmp(packet_.sync.data(), wire::syncPattern.data(), wire::syncBytes) != 0)
        return BadHeader;
    in >> packet_.version;
    if (packet_.version != wire::version)
        return BadHeader;
    in >> packet_.headerSize;
    if (packet_.headerSize != headerBytes)
        return BadHeader;
    in >> packet_.info08 >> packet_.info10 >> packet_.info11 >> packet_.timestamp >>
        packet_.info20 >> packet_.info24 >> packet_.info28 >> packet_.info29 >> packet_.info30 >>
        packet_.info31 >> packet_.info32 >> packet_.info36 >> packet_.info40 >> packet_.info41 >>
        packet_.info42 >> packet_.info44;
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
