#pragma once

#include <QHostAddress>
#include <QString>

// Plain records of places: the site file gives them, the geo-reference
// and the encoders take them. Nothing here reads the site file or needs
// GeographicLib.
namespace trklib::site {

// A place on Earth, WGS-84 degrees.
struct GeoPoint
{
    double latitudeDeg = 0.0;
    double longitudeDeg = 0.0;
};

// Where the site's origin lies on Earth (WGS-84): the point that site
// coordinates (metres east and north) are measured from.
struct Origin
{
    double latitudeDeg = 0.0;
    double longitudeDeg = 0.0;
    double altitudeM = 0.0; // above the ellipsoid
};

// Where a UDP output goes: one host or a multicast group, and a port.
struct Destination
{
    QHostAddress address;
    quint16 port = 0; // 0: no output

    bool isSet() const { return port != 0; }
    // "239.1.2.3:8600", "[ff02::1]:8600"
    QString toString() const
    {
        const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                                 ? QStringLiteral("[%1]").arg(address.toString())
                                 : address.toString();
        return QStringLiteral("%1:%2").arg(host).arg(port);
    }
};

} // namespace trklib::site
