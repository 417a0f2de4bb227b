#pragma once

#include <QVector>

#include <array>

namespace trklib {

/// One radar packet as the parser assembles it: the 48-byte header's fields
/// and six arrays of per-cell values (1024 entries each in a parsed packet).
/// The arrays are implicitly shared, so copies are cheap.
struct RadarPacketData
{
    std::array<qint8, 6> sync{}; ///< header bytes 0-5: AA AA AA AA AA AB
    qint8 version = 0;           ///< header byte 6: 2
    qint8 headerSize = 0;        ///< header byte 7: 48
    qint16 info08 = 0;           ///< header bytes 8-9, carried unread
    qint8 info10 = 0;            ///< header byte 10, carried unread
    qint8 info11 = 0;            ///< header byte 11, carried unread
    qint64 timestamp = 0;        ///< header bytes 12-19, milliseconds
    qint32 info20 = 0;           ///< header bytes 20-23, carried unread
    qint32 info24 = 0;           ///< header bytes 24-27, carried unread
    qint8 info28 = 0;            ///< header byte 28, carried unread
    qint8 info29 = 0;            ///< header byte 29, carried unread
    qint8 info30 = 0;            ///< header byte 30, carried unread
    qint8 info31 = 0;            ///< header byte 31, carried unread
    qint32 info32 = 0;           ///< header bytes 32-35, carried unread
    qint32 info36 = 0;           ///< header bytes 36-39, carried unread
    qint8 info40 = 0;            ///< header byte 40, carried unread
    qint8 info41 = 0;            ///< header byte 41, carried unread
    qint16 info42 = 0;           ///< header bytes 42-43, carried unread
    qint32 info44 = 0;           ///< header bytes 44-47, carried unread

    QVector<signed char> amplitude; ///< dB
    QVector<float> relVelocity;     ///< km/h, positive when the distance grows
    QVector<float> distance;        ///< metres
    QVector<float> elevation;       ///< degrees, radar frame
    QVector<float> azimuth;         ///< degrees, radar frame
    QVector<short> phaseDiff;       ///< raw sensor value, carried only
};

} // namespace trklib
