#include "tools/common/site/radartracking.h"

#include <algorithm>

namespace trklib::site {

namespace {

// Distinct senders counted at most, as the library counts them.
constexpr int rememberedSenders = 1024;
// How long the sender a radar follows must be silent before another takes
// over, microseconds, as the library's engines wait.
constexpr std::int64_t takeoverSilenceUs = DatagramAssembler::takeoverSilenceUs;

bool sameAddress(const QHostAddress& a, const QHostAddress& b)
{
    return a.isEqual(b, QHostAddress::TolerantConversion);
}

// Whether a socket bound to bindAddress receives datagrams to destination.
bool receives(const QHostAddress& bindAddress, const QHostAddress& destination)
{
    if (bindAddress.isNull() || bindAddress == QHostAddress(QHostAddress::AnyIPv6))
        return true; // every interface, both protocols
    if (bindAddress == QHostAddress(QHostAddress::AnyIPv4))
        return destination.protocol() == QAbstractSocket::IPv4Protocol;
    return sameAddress(bindAddress, destination);
}

} // namespace

bool RadarStatus::sameCondition(const RadarStatus& o) const
{
    return readErrors == o.readErrors && badHeaders == o.badHeaders &&
           foreignDatagrams == o.foreignDatagrams && strayDatagrams == o.strayDatagrams &&
           abandonedPackets == o.abandonedPackets && competingDatagrams == o.competingDatagrams &&
           senders == o.senders && receiveBufferBytes == o.receiveBufferBytes;
}

QHostAddress normalisedAddress(const QHostAddress& address)
{
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    if (mapped && address.protocol() == QAbstractSocket::IPv6Protocol)
        return QHostAddress(ipv4);
    return address;
}

RadarRouting::RadarRouting(const QVector<RadarEntry>& radars)
{
    for (int i = 0; i < radars.size(); ++i) {
        const RadarEntry& entry = radars[i];
        const auto same = std::find_if(sockets_.begin(), sockets_.end(), [&](const Socket& s) {
            return s.port == entry.port && s.bindAddress == entry.bindAddress;
        });
        Socket* socket = same != sockets_.end() ? &*same : nullptr;
        if (!socket) {
            sockets_.append(Socket{entry.bindAddress, entry.port, {}, {}});
            socket = &sockets_.last();
        }
        socket->radars.append(i);
        socket->senders.append(entry.radarAddress);
    }
}

QVector<quint16> RadarRouting::ports() const
{
    QVector<quint16> ports;
    for (const Socket& socket : sockets_)
        if (!ports.contains(socket.port))
            ports.append(socket.port);
    return ports;
}

int RadarRouting::socketFor(const QHostAddress& destination, quint16 port) const
{
    const QHostAddress to = normalisedAddress(destination);
    int everyInterface = -1;
    for (int i = 0; i < sockets_.size(); ++i) {
        const Socket& s = sockets_[i];
        if (s.port != port || !receives(s.bindAddress, to))
            continue;
        // A socket bound to the address itself is the one that gets it.
        if (!s.bindAddress.isNull() && sameAddress(s.bindAddress, to))
            return i;
        if (everyInterface < 0)
            everyInterface = i;
    }
    return everyInterface;
}

int RadarRouting::radarFor(int socket, const QHostAddress& sender) const
{
    const Socket& s = sockets_[socket];
    const QHostAddress from = normalisedAddress(sender);
    for (int i = 0; i < s.radars.size(); ++i) {
        const QHostAddress& wanted = s.senders[i];
        if (wanted.isNull() || sameAddress(wanted, from))
            return s.radars[i];
    }
    return -1;
}

RadarTracker::RadarTracker(const RadarEntry& entry) : entry_(entry)
{
    engine_.radarConfig() = entry.mounting;
    // An engine fed by two radars tracks neither.
    assembler_.setOneSender(true);
}

RadarTracker::Outcome RadarTracker::offer(const QByteArray& datagram, const QHostAddress& sender,
                                          quint16 port, std::int64_t nowUs)
{
    Outcome outcome;
    if (senders_.size() < rememberedSenders)
        senders_.insert(qMakePair(sender, port));
    status_.senders = std::uint32_t(senders_.size());
    const bool following = assembler_.followedSender(outcome.previousSender, outcome.previousPort);
    const quint64 competing = assembler_.competingDatagrams();
    outcome.complete = assembler_.offer(datagram, sender, port, nowUs) == DataParser::Complete;
    status_.datagrams = assembler_.counts().datagrams;
    if (assembler_.competingDatagrams() != competing) {
        // Dropped: the radar is not heard by it.
        outcome.dropped = true;
        if (!competing_ || nowUs - lastCompetingUs_ >= takeoverSilenceUs)
            outcome.event = Event::Competing;
        competing_ = true;
        lastCompetingUs_ = nowUs;
        status_.competingDatagrams = assembler_.competingDatagrams();
        return outcome;
    }
    // Another sender takes over with the first packet it completes, not
    // with the datagrams it sends before: the change is the assembler's.
    QHostAddress followedAddress;
    quint16 followedPort = 0;
    const bool followsNow = assembler_.followedSender(followedAddress, followedPort);
    if (following && followsNow &&
        (followedPort != outcome.previousPort || followedAddress != outcome.previousSender)) {
        outcome.event = Event::SenderChanged;
        competing_ = false;
    } else if (!heard_ || silent_) {
        outcome.event = heard_ ? Event::ReceivingAgain : Event::Receiving;
    }
    heard_ = true;
    silent_ = false;
    lastHeardUs_ = nowUs;
    if (outcome.complete) {
        long timestamp = 0;
        engine_.getTargetsFromData(assembler_.packet(), timestamp, targets_);
        engine_.targetReflectivity(reflectivity_);
        timestampMs_ = timestamp;
        status_.lastTimestampMs = timestampMs_;
    }
    const DatagramAssembler::Counts counts = assembler_.counts();
    status_.packets = counts.packets;
    status_.badHeaders = counts.badHeaders;
    status_.strayDatagrams = counts.strayDatagrams;
    status_.abandonedPackets = counts.abandonedPackets;
    return outcome;
}

RadarTracker::Silence RadarTracker::checkSilence(std::int64_t nowUs)
{
    if (nowUs - lastHeardUs_ <= silenceUs)
        return Silence::Heard;
    lastHeardUs_ = nowUs;
    assembler_.restart();
    ++status_.readErrors;
    status_.abandonedPackets = assembler_.counts().abandonedPackets;
    const bool already = silent_;
    silent_ = true;
    return already ? Silence::StillSilent : Silence::JustSilent;
}

} // namespace trklib::site
