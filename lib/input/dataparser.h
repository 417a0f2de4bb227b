#pragma once

#include "input/radarpacketdata.h"
#include "input/wireformat.h"
#include "interface/export.h"

#include <QByteArray>
#include <QObject>
#include <QVector>

#include <functional>

namespace trklib {

/// Reassembles radar packets from datagrams offered in arrival order: a
/// 48-byte header, then the amplitude, relative velocity, distance,
/// elevation, azimuth and phase difference blocks, each of which may be split
/// over several datagrams.
class TRKLIB_EXPORT DataParser : public QObject
{
    Q_OBJECT

public:
    /// What a datagram did to the packet in progress.
    enum Status
    {
        Complete = 0,   ///< the whole packet is assembled
        Incomplete = 1, ///< more datagrams are needed
        BadHeader = 2,  ///< a 48-byte header with a wrong sync pattern, version or size byte
        BadSize = 3     ///< a datagram that fits no step; dropped, waiting for a header
    };

    /// Cells per packet: wire::cellCount.
    static constexpr int cellCount = wire::cellCount;
    /// The header's size, bytes: wire::headerBytes.
    static constexpr int headerBytes = wire::headerBytes;

    /// A parser waiting for a header.
    explicit DataParser(QObject* parent = nullptr);

    /// Takes the next datagram of the packet in progress. After Complete,
    /// radarPacketData() gives the packet and the parser waits for the next
    /// header.
    Status parseDatagram(const QByteArray& datagram);
    /// The packet that the last Complete finished.
    RadarPacketData radarPacketData() const;
    /// Back to the header step; a half-assembled packet and its bytes are dropped.
    void reset();
    /// True while a packet is begun and not complete: its header was taken.
    bool inPacket() const { return currentStep_ != steps_.cbegin(); }

    /// A datagram that opens a packet: header-sized and starting with the
    /// sync pattern. Offered while a packet is in progress, it gives that
    /// packet up and starts a new one.
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
