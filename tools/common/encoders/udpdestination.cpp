#include "tools/common/encoders/udpdestination.h"

#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace trklib::encoders {

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

int openUdpDestination(const site::Destination& to, const QString& key, QString& error)
{
    const bool v6 = to.address.protocol() == QAbstractSocket::IPv6Protocol;
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = QStringLiteral("%1: cannot open a UDP socket: %2").arg(key, systemError());
        return -1;
    }
    sockaddr_storage address{};
    socklen_t size = 0;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&address);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(to.port);
        const Q_IPV6ADDR bytes = to.address.toIPv6Address();
        std::memcpy(&a->sin6_addr, bytes.c, sizeof bytes.c);
        size = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&address);
        a->sin_family = AF_INET;
        a->sin_port = htons(to.port);
        a->sin_addr.s_addr = htonl(to.address.toIPv4Address());
        size = sizeof *a;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
        error = QStringLiteral("%1: cannot send to %2: %3").arg(key, to.toString(), systemError());
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace trklib::encoders
