#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace trklib::capture {

// Network byte order readers over a QByteArray. The caller checks that the
// bytes at pos are there.
inline quint16 be16(const QByteArray& bytes, int pos)
{
    return quint16((quint8(bytes[pos]) << 8) | quint8(bytes[pos + 1]));
}

inline quint32 be32(const QByteArray& bytes, int pos)
{
    return (quint32(be16(bytes, pos)) << 16) | be16(bytes, pos + 2);
}

inline quint32 le32(const QByteArray& bytes, int pos)
{
    return (quint32(quint8(bytes[pos + 3])) << 24) | (quint32(quint8(bytes[pos + 2])) << 16) |
           (quint32(quint8(bytes[pos + 1])) << 8) | quint8(bytes[pos]);
}

} // namespace trklib::capture
