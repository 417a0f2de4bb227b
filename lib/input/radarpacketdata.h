#pragma once

#include <QVector>

#include <array>

namespace trklib {

// One radar packet as the parser assembles it: the 48-byte header's fields
// and six arrays of per-cell values (1024 entries each in a parsed packet).
// The arrays are implicitly shared, so copies are cheap.
struct RadarPacketData
{
    std::array<qint8, 6> sync{}; // AA AA AA AA AA AB
    qint8 version = 0;           // 2
    qint8 headerSize = 0;        // 48
    qint16 info08 = 0;
    qint8 info10 = 0;
    qint8 info11 = 0;
    qint64 timestamp = 0; // milliseconds
    qint32 info20 = 0;
    qint32 info24 = 0;
    qint8 info28 = 0;
    qint8 info29 = 0;
    qint8 info30 = 0;
    qint8 info31 = 0;
    qint32 info32 = 0;
    qint32 info36 = 0;
    qint8 info40 = 0;
    qint8 info41 = 0;
    qint16 info42 = 0;
    qint32 info44 = 0;

    QVector<signed char> amplitude; // dB
    QVector<float> relVelocity;     // km/h, positive when the distance grows
    QVector<float> distance;        // metres
    QVector<float> elevation;       // degrees, radar frame
    QVector<float> azimuth;         // degrees, radar frame
    QVector<short> phaseDiff;       // raw sensor value, carried only
};

} // namespace trklib
