#pragma once

#include "input/radarpacketdata.h"
#include "input/wireformat.h"
#include "interface/export.h"

#include <QByteArray>
#include <QObject>
#include <QVector>

#include <functional>

namespace trklib {

// Reassembles radar packets from datagrams offered in arrival order: a
// 48-byte header, then the amplitude, relative velocity, distance,
// elevation, azimuth and phase difference blocks, each of which may be split
// over several datagrams.
class TRKLIB_EXPORT DataParser : public QObject
{
    Q_OBJECT

public:
    enum Status
    {
        Complete = 0,   // the whole packet is assembled
        Incomplete = 1, // more datagrams are needed
        BadHeader = 2,  // a 48-byte header with a wrong sync pattern, version or size byte
        BadSize = 3     // a datagram that fits no step; dropped, waiting for a header
    };

    static constexpr int cellCount = wire::cellCount;
    static constexpr int headerBytes = wire::headerBytes;

    explicit DataParser(QObject* parent = nullptr);

    Status parseDatagram(const QByteArray& datagram);
    RadarPacketData radarPacketData() const;
    // Back to the header step; a half-assembled packet and its bytes are dropped.
    void reset();
    // True while a packet is begun and not complete: its header was taken.
    bool inPacket() const { return currentStep_ != steps_.cbegin(); }

    // A datagram that opens a packet: header-sized and starting with the
    // sync pattern. Offered while a packet is in progress, it gives that
    // packet up and starts a new one.
    static bool looksLikeHeader(const QByteArray& datagram);

private:
    using Step = std::function<Status(DataParser*)>;

    Status parseHeader();
    Status parseAmplitude();
    Status parseRelVelocity();
    Status parseDistance();
    Status parseElevation();
    Status parseAzimuth();
    Status parsePhaseDiff();
    template <typename T> Status parseDataType(QVector<T>& array);

    QVector<Step> steps_;
    QVector<Step>::const_iterator currentStep_;
    RadarPacketData packet_;
    QByteArray buffer_;
};

} // namespace trklib
