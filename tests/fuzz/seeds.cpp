// Writes the seed corpora of the fuzz targets, corpus/<target>/, from the
// simulator's packets and captures, in each target's input layout (see the
// comment at the top of each target). The files are kept in the
// repository; run this again only when a layout changes:
//   fuzz_seeds tests/fuzz/corpus

#include "pcapwriter.h"
#include "simulator.h"
#include "udpframes.h"

#include "input/packetencoder.h"
#include "input/wireformat.h"
#include "tools/common/cli/mountingoptions.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>
#include <limits>
#include <type_traits>

namespace trklib::fuzz {
namespace {

using sim::UdpFrameBuilder;

constexpr quint16 radarPort = wire::defaultPort;
constexpr qint64 startMs = 1700000000000;
constexpr qint64 packetSpacingMs = 50; // the simulator's 20 packets per second
constexpr qint64 frameSpacingUs = 100;

// A seed file being written: values in the little-endian byte order in which
// the targets read them.
class Seed
{
public:
    template <typename T> Seed& put(T value)
    {
        static_assert(std::is_trivially_copyable_v<T>, "written as its bytes");
        bytes_.append(reinterpret_cast<const char*>(&value), int(sizeof value));
        return *this;
    }
    Seed& append(const QByteArray& bytes)
    {
        bytes_ += bytes;
        return *this;
    }
    const QByteArray& bytes() const { return bytes_; }

private:
    QByteArray bytes_;
};

QString corpusRoot;

void write(const QString& target, const QString& name, const QByteArray& bytes)
{
    const QString folder = corpusRoot + QLatin1Char('/') + target;
    QFile file(folder + QLatin1Char('/') + name);
    if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly) ||
        file.write(bytes) != bytes.size() || !file.flush()) {
        std::fprintf(stderr, "fuzz_seeds: %s: cannot write\n", qUtf8Printable(file.fileName()));
        std::exit(1);
    }
    std::printf("%s/%s: %d bytes\n", qUtf8Printable(target), qUtf8Printable(name), bytes.size());
}

QVector<RadarPacketData> simulate(const QString& scene, const RadarConfig& mounting, int count)
{
    sim::SimOptions options;
    options.scene = scene;
    options.mounting = mounting;
    options.startMs = startMs;
    sim::Simulator simulator(options);
    QVector<RadarPacketData> packets;
    for (int k = 0; k < count; ++k)
        packets.append(simulator.packet(k).packet);
    return packets;
}

RadarConfig mounting(double tilt, double pan, double height, int orientation)
{
    RadarConfig config = cli::defaultMounting();
    config.tilt = tilt;
    config.pan = pan;
    config.height = height;
    config.orientation = orientation;
    return config;
}

// --- assembler: operations of datagrams --------------------------------------

constexpr quint8 timed = 0x04;
constexpr quint8 absoluteTime = 0x08;
constexpr quint8 restartFirst = 0x10;

Seed& rawDatagram(Seed& s, const QByteArray& datagram, quint8 flags = 0)
{
    return s.put<quint8>(0 | flags).put<quint16>(quint16(datagram.size())).append(datagram);
}

// A ramp of the size of a block (0: the header), or of size bytes.
Seed& rampDatagram(Seed& s, int block, quint8 start, quint8 step, quint8 flags = 0,
                   qint32 stepUs = 0, int size = -1)
{
    constexpr quint8 anySize = 255;
    s.put<quint8>(2 | flags);
    if (flags & timed)
        s.put<qint32>(stepUs);
    if (size >= 0)
        s.put<quint8>(anySize).put<quint16>(quint16(size));
    else
        s.put<quint8>(quint8(block));
    return s.put<quint8>(start).put<quint8>(step);
}

Seed& wholePacket(Seed& s, qint64 timestampMs, quint8 seed, quint16 cutBytes, quint8 flags = 0,
                  qint64 time = 0)
{
    s.put<quint8>(3 | flags);
    if (flags & absoluteTime)
        s.put<qint64>(time);
    else if (flags & timed)
        s.put<qint32>(qint32(time));
    return s.put<qint64>(timestampMs).put<quint8>(seed).put<quint16>(cutBytes);
}

void assemblerSeeds()
{
    const QString target = QStringLiteral("assembler");
    {
        Seed s;
        wholePacket(s, startMs, 7, 0);
        wholePacket(s, startMs + packetSpacingMs, 8, 1400);
        wholePacket(s, startMs + 2 * packetSpacingMs, 9, 4096, timed | absoluteTime,
                    startMs * 1000);
        wholePacket(s, startMs + 3 * packetSpacingMs, 10, 1000, timed, 50000);
        write(target, QStringLiteral("whole-packets"), s.bytes());
    }
    {
        // A simulated packet's header and amplitude block as they stand, the
        // other blocks as ramps.
        const RadarPacketData packet = simulate(QStringLiteral("road"), mounting(0, 0, 5, 0), 1)[0];
        const QVector<QByteArray> datagrams = PacketEncoder::datagrams(packet);
        Seed s;
        rawDatagram(s, datagrams[0]);
        rawDatagram(s, datagrams[1]);
        for (int block = 2; block < wire::blockCount; ++block)
            rampDatagram(s, block, quint8(block), 3);
        write(target, QStringLiteral("simulated-header"), s.bytes());
    }
    {
        // A pause of more than a second inside a packet, times that go back,
        // and times near the end of the 64-bit range.
        Seed s;
        wholePacket(s, startMs, 1, 2048, timed | absoluteTime, startMs * 1000);
        wholePacket(s, startMs + 50, 2, 0, timed, 1000);
        s.put<quint8>(1 | timed).put<qint32>(100).append(QByteArray(40, '\x44'));
        for (int block = 1; block < 4; ++block)
            rampDatagram(s, block, 0, 1, timed, 100);
        rampDatagram(s, 4, 0, 1, timed, 1000001);
        rampDatagram(s, 5, 0, 1, timed, -5000000);
        wholePacket(s, startMs + 100, 3, 0, timed | absoluteTime,
                    std::numeric_limits<qint64>::max() - 10);
        wholePacket(s, startMs + 150, 4, 0, timed, 100);
        write(target, QStringLiteral("timed-pauses"), s.bytes());
    }
    {
        // A header inside a packet, a datagram across two blocks, an empty
        // datagram, a restart.
        Seed s;
        s.put<quint8>(1).append(QByteArray(40, '\x11'));
        rampDatagram(s, 1, 0, 1);
        rampDatagram(s, 2, 0, 1);
        s.put<quint8>(1).append(QByteArray(40, '\x22'));
        rampDatagram(s, 1, 0, 1);
        rampDatagram(s, 0, 0, 1, 0, 0, 5000);
        rawDatagram(s, QByteArray());
        s.put<quint8>(1).append(QByteArray(40, '\x33'));
        rampDatagram(s, 1, 5, 1, restartFirst);
        wholePacket(s, startMs, 5, 512);
        write(target, QStringLiteral("broken-blocks"), s.bytes());
    }
    {
        // Headers with a wrong sync pattern, version or size byte, and of
        // the wrong length.
        const QByteArray good = PacketEncoder::header(PacketEncoder::emptyPacket(startMs));
        Seed s;
        QByteArray badSync = good;
        badSync[5] = '\xAA';
        QByteArray badVersion = good;
        badVersion[6] = 3;
        QByteArray badSize = good;
        badSize[7] = 47;
        for (const QByteArray& d :
             {badSync, badVersion, badSize, good.left(47), good + '\0', good, badVersion})
            rawDatagram(s, d);
        write(target, QStringLiteral("bad-headers"), s.bytes());
    }
}

// --- engine: configurations and sparse packets -------------------------------

constexpr quint8 trackOp = 0;
constexpr quint8 validateOp = 1;
constexpr quint8 resetOp = 2;
constexpr quint8 configOp = 3;
constexpr quint8 rawValue = 255; // selector: the value follows as it stands
constexpr quint8 nanSelector = 13;
constexpr quint8 infinitySelector = 14;
constexpr int echoEdit = 6;
constexpr int noiseCeilingDb = -80; // the simulator's noise stays at or below

Seed& config(Seed& s, const RadarConfig& c)
{
    for (double value : {c.tilt, c.pan, c.height, c.panOffset})
        s.put<quint8>(rawValue).put<double>(value);
    return s.put<quint8>(quint8(c.orientation & 1));
}

// A packet as an empty one plus an echo edit for every cell above the noise;
// arrays of other lengths than 1024 are given as such and filled with their
// first value.
class EnginePackets
{
public:
    Seed& packet(Seed& s, quint8 op, const RadarPacketData& p)
    {
        s.put<quint8>(op);
        const qint64 stepMs = p.timestamp - lastMs_;
        if (stepMs >= std::numeric_limits<qint16>::min() &&
            stepMs <= std::numeric_limits<qint16>::max())
            s.put<quint8>(0).put<qint16>(qint16(stepMs));
        else
            s.put<quint8>(rawValue).put<qint64>(p.timestamp);
        lastMs_ = p.timestamp;

        const int sizes[] = {p.amplitude.size(), p.relVelocity.size(), p.distance.size(),
                             p.elevation.size(), p.azimuth.size(),     p.phaseDiff.size()};
        quint8 fills = 0;
        for (int i = 0; i < 6; ++i) {
            if (sizes[i] == wire::cellCount) {
                s.put<quint8>(0);
            } else {
                s.put<quint8>(rawValue).put<quint16>(quint16(sizes[i]));
                fills |= quint8(1 << i);
            }
        }
        s.put<quint8>(fills);
        if (fills & 0x01)
            s.put<signed char>(p.amplitude.value(0));
        if (fills & 0x02)
            s.put<float>(p.relVelocity.value(0));
        if (fills & 0x04)
            s.put<float>(p.distance.value(0));
        if (fills & 0x08)
            s.put<float>(p.elevation.value(0));
        if (fills & 0x10)
            s.put<float>(p.azimuth.value(0));
        if (fills & 0x20)
            s.put<short>(p.phaseDiff.value(0));

        QVector<int> cells;
        for (int i = 0; i < p.amplitude.size() && cells.size() < 255; ++i) {
            if (p.amplitude[i] > noiseCeilingDb)
                cells.append(i);
        }
        s.put<quint8>(quint8(cells.size()));
        for (int i : cells) {
            s.put<quint8>(echoEdit).put<quint16>(quint16(i));
            s.put<signed char>(p.amplitude[i]).put<float>(p.relVelocity.value(i));
            s.put<float>(p.distance.value(i)).put<float>(p.elevation.value(i));
            s.put<float>(p.azimuth.value(i));
        }
        return s;
    }

private:
    qint64 lastMs_ = 0;
};

void engineSeeds()
{
    const QString target = QStringLiteral("engine");
    {
        const RadarConfig m = mounting(0, 0, 5, 0);
        Seed s;
        config(s, m);
        EnginePackets packets;
        for (const RadarPacketData& p : simulate(QStringLiteral("road"), m, 8))
            packets.packet(s, trackOp, p);
        write(target, QStringLiteral("road"), s.bytes());
    }
    {
        // Vertical mounting, every fourth packet validated as well.
        const RadarConfig m = mounting(-10, 20, 6, 1);
        Seed s;
        config(s, m);
        EnginePackets packets;
        int k = 0;
        for (const RadarPacketData& p : simulate(QStringLiteral("crossing"), m, 16)) {
            if (k++ % 4 == 0)
                packets.packet(s, validateOp, p);
            packets.packet(s, trackOp, p);
        }
        write(target, QStringLiteral("crossing-vertical"), s.bytes());
    }
    {
        // Tracking reset halfway; the second half runs backwards in time.
        const RadarConfig m = mounting(5, -10, 3, 0);
        Seed s;
        config(s, m);
        EnginePackets packets;
        const QVector<RadarPacketData> all = simulate(QStringLiteral("pedestrians"), m, 16);
        for (int k = 0; k < 8; ++k)
            packets.packet(s, trackOp, all[k]);
        s.put<quint8>(resetOp);
        for (int k = 15; k >= 8; --k)
            packets.packet(s, trackOp, all[k]);
        write(target, QStringLiteral("pedestrians-reset"), s.bytes());
    }
    {
        // A NaN tilt and an infinite height, then the mounting the packets
        // were made for.
        const RadarConfig m = mounting(0, 0, 5, 0);
        Seed s;
        s.put<quint8>(nanSelector).put<quint8>(0).put<quint8>(infinitySelector).put<quint8>(0);
        s.put<quint8>(rawValue).put<qint32>(-7);
        EnginePackets packets;
        const QVector<RadarPacketData> all = simulate(QStringLiteral("highway"), m, 6);
        for (int k = 0; k < 3; ++k)
            packets.packet(s, trackOp, all[k]);
        config(s.put<quint8>(configOp), m);
        for (int k = 3; k < 6; ++k)
            packets.packet(s, trackOp, all[k]);
        write(target, QStringLiteral("highway-awkward-mounting"), s.bytes());
    }
    {
        // Arrays shorter and longer than the wire format's, of unequal
        // lengths, timestamps far apart.
        const RadarConfig m = mounting(0, 0, 5, 0);
        Seed s;
        config(s, m);
        EnginePackets packets;
        const QVector<RadarPacketData> all = simulate(QStringLiteral("road"), m, 6);
        const int lengths[] = {0, 1, 5, 700, 1500, 2048};
        for (int k = 0; k < 6; ++k) {
            RadarPacketData p = all[k];
            p.timestamp = k % 2 == 0 ? p.timestamp : -p.timestamp;
            p.relVelocity.resize(lengths[k]);
            p.azimuth.resize(lengths[(k + 3) % 6]);
            p.phaseDiff.resize(lengths[5 - k]);
            packets.packet(s, k % 3 == 2 ? validateOp : trackOp, p);
        }
        write(target, QStringLiteral("odd-arrays"), s.bytes());
    }
}

// --- frames of the radar's datagrams on various link layers ------------------

constexpr int ethernetHeaderBytes = 14;

enum class Link
{
    Ethernet,
    Vlan,
    Cooked,
    CookedV2,
    Raw,
    Null,
    Loop
};

// An Ethernet frame of the frame builder carried on another link layer.
QByteArray onLink(Link link, const QByteArray& ethernet, bool sent = false)
{
    const QByteArray ethertype = ethernet.mid(12, 2);
    const QByteArray ip = ethernet.mid(ethernetHeaderBytes);
    const bool v6 = ethertype == QByteArray::fromHex("86dd");
    constexpr quint8 outgoing = 4;
    switch (link) {
    case Link::Ethernet:
        return ethernet;
    case Link::Vlan:
        return ethernet.left(12) + QByteArray::fromHex("81000005") + ethertype + ip;
    case Link::Cooked:
        return QByteArray::fromHex(sent ? "0004" : "0000") + QByteArray::fromHex("0304") +
               QByteArray::fromHex("0006") + QByteArray(8, '\0') + ethertype + ip;
    case Link::CookedV2:
        return ethertype + QByteArray(2, '\0') + QByteArray::fromHex("00000001") +
               QByteArray::fromHex("0304") + char(sent ? outgoing : 0) + char(6) +
               QByteArray(8, '\0') + ip;
    case Link::Raw:
        return ip;
    case Link::Null: // host byte order, little-endian here
        return QByteArray::fromHex(v6 ? "0a000000" : "02000000") + ip;
    case Link::Loop:
        return QByteArray::fromHex(v6 ? "0000000a" : "00000002") + ip;
    }
    return ethernet;
}

QVector<QByteArray> framesOf(const QVector<QByteArray>& datagrams, const QString& host, Link link,
                             bool sent = false)
{
    UdpFrameBuilder builder{QHostAddress(host), radarPort};
    QVector<QByteArray> frames;
    for (const QByteArray& d : datagrams) {
        for (const QByteArray& frame : builder.frames(d))
            frames.append(onLink(link, frame, sent));
    }
    return frames;
}

// The first datagrams of a packet: header, amplitude, relative velocity
// (fragmented over three frames); about 5 KiB.
QVector<QByteArray> firstBlocks()
{
    const RadarPacketData p = simulate(QStringLiteral("road"), mounting(0, 0, 5, 0), 1)[0];
    return PacketEncoder::datagrams(p).mid(0, 3);
}

void decoderSeeds()
{
    const QString target = QStringLiteral("decoders");
    struct Case
    {
        const char* name;
        quint8 linkSelector; // index into the target's table of link types
        Link link;
        const char* host;
        bool sent;
    };
    const Case cases[] = {{"ethernet-ipv4", 0, Link::Ethernet, "127.0.0.1", false},
                          {"ethernet-vlan-ipv6", 0, Link::Vlan, "::1", false},
                          {"linux-cooked-sent", 1, Link::Cooked, "127.0.0.1", true},
                          {"linux-cooked-v2-ipv6", 2, Link::CookedV2, "::1", false},
                          {"raw-ipv4", 3, Link::Raw, "127.0.0.1", false},
                          {"loopback-null-ipv6", 6, Link::Null, "::1", false},
                          {"loopback-loop-ipv4", 7, Link::Loop, "127.0.0.1", false}};
    for (const Case& c : cases) {
        Seed s;
        s.put<quint8>(c.linkSelector).put<quint8>(0).put<quint8>(c.sent ? 1 : 0);
        for (const QByteArray& frame :
             framesOf(firstBlocks(), QString::fromLatin1(c.host), c.link, c.sent))
            s.put<quint16>(quint16(frame.size())).append(frame);
        write(target, QString::fromLatin1(c.name), s.bytes());
    }
}

// --- reassembler: fragments by offset ----------------------------------------

constexpr quint8 moreFragments = 0x04;
constexpr quint8 wideOffset = 0x08;
constexpr quint8 ownBytes = 0x10;

struct Fragment
{
    quint8 key;
    int offset;
    int bytes;
    bool more;
};

Seed reassemblerSeed(qint8 maxDatagrams, qint32 maxBytes, const QVector<Fragment>& fragments)
{
    Seed s;
    s.put<qint8>(maxDatagrams).put<qint32>(maxBytes);
    for (const Fragment& f : fragments) {
        const bool wide = f.offset < 0 || f.offset > 0xFFFF;
        s.put<quint8>(quint8(f.key | (f.more ? moreFragments : 0) | (wide ? wideOffset : 0)));
        if (wide)
            s.put<qint32>(f.offset);
        else
            s.put<quint16>(quint16(f.offset));
        s.put<quint16>(quint16(f.bytes));
    }
    return s;
}

void reassemblerSeeds()
{
    const QString target = QStringLiteral("reassembler");
    // A 4096-byte block in a UDP datagram: 4104 bytes, in IPv4 fragments of
    // 1480 bytes and IPv6 fragments of 1448.
    const QVector<Fragment> v4 = {
        {0, 0, 1480, true}, {0, 1480, 1480, true}, {0, 2960, 1144, false}};
    const QVector<Fragment> v6 = {
        {3, 0, 1448, true}, {3, 1448, 1448, true}, {3, 2896, 1208, false}};
    write(target, QStringLiteral("in-order"), reassemblerSeed(64, 4194304, v4 + v6).bytes());
    write(target, QStringLiteral("reversed-duplicates"),
          reassemblerSeed(64, 4194304, {v4[2], v4[1], v4[1], v4[0], v6[2], v6[0], v6[1], v6[1]})
              .bytes());
    write(target, QStringLiteral("overlapping"),
          reassemblerSeed(64, 4194304,
                          {{0, 0, 1480, true},
                           {0, 1472, 16, true},
                           {0, 1480, 1480, true},
                           {0, 0, 1480, true},
                           {0, 1480, 1480, true},
                           {0, 2960, 1144, false},
                           {0, 2960, 1136, false}})
              .bytes());
    write(target, QStringLiteral("two-flows"),
          reassemblerSeed(64, 4194304,
                          {{0, 0, 1480, true},
                           {2, 0, 1480, true},
                           {1, 0, 1480, true},
                           {1, 1480, 100, false},
                           {0, 1480, 100, false},
                           {2, 1480, 100, false}})
              .bytes());
    write(target, QStringLiteral("tight-bounds"),
          reassemblerSeed(2, 0,
                          {{0, 0, 1480, true},
                           {1, 0, 1480, true},
                           {2, 0, 1480, true},
                           {3, 0, 65528, true},
                           {3, 65528, 7, false},
                           {0, 1480, 8, false}})
              .bytes());
    Seed odd = reassemblerSeed(64, 4194304,
                               {{0, 65528, 16, false},
                                {1, 8, 12, true},
                                {1, 0, 0, true},
                                {2, -8, 8, true},
                                {2, 0x7FFFFFF0, 8, false},
                                {3, 0, 8, false}});
    // One fragment with bytes of its own.
    odd.put<quint8>(1 | ownBytes).put<quint16>(0).put<quint16>(8).append("ownbytes");
    write(target, QStringLiteral("oversized-misaligned"), odd.bytes());
}

// --- replay: capture files ---------------------------------------------------

QByteArray captureOf(const QVector<QByteArray>& frames, qint64 firstUs, int linkType)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("seed.pcap"));
    sim::PcapWriter writer;
    QString error;
    if (!dir.isValid() || !writer.open(path, error, linkType)) {
        std::fprintf(stderr, "fuzz_seeds: %s\n", qUtf8Printable(error));
        std::exit(1);
    }
    qint64 timeUs = firstUs;
    for (const QByteArray& frame : frames) {
        writer.write(frame, timeUs);
        timeUs += frameSpacingUs;
    }
    QFile file(path);
    if (!writer.commit() || !file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "fuzz_seeds: cannot write a capture\n");
        std::exit(1);
    }
    return file.readAll();
}

// A pcapng file by hand (libpcap writes classic pcap only): section header,
// one interface of the link type, an enhanced packet block per frame, time
// stamps in microseconds.
QByteArray pcapngOf(const QVector<QByteArray>& frames, qint64 firstUs, quint16 linkType)
{
    Seed s;
    s.put<quint32>(0x0A0D0D0A).put<quint32>(28).put<quint32>(0x1A2B3C4D);
    s.put<quint16>(1).put<quint16>(0).put<qint64>(-1).put<quint32>(28);
    s.put<quint32>(1).put<quint32>(20).put<quint16>(linkType).put<quint16>(0);
    s.put<quint32>(262144).put<quint32>(20);
    qint64 timeUs = firstUs;
    for (const QByteArray& frame : frames) {
        const int padded = (frame.size() + 3) / 4 * 4;
        const quint32 blockBytes = quint32(32 + padded);
        s.put<quint32>(6).put<quint32>(blockBytes).put<quint32>(0);
        s.put<quint32>(quint32(quint64(timeUs) >> 32)).put<quint32>(quint32(timeUs));
        s.put<quint32>(quint32(frame.size())).put<quint32>(quint32(frame.size()));
        s.append(frame).append(QByteArray(padded - frame.size(), '\0'));
        s.put<quint32>(blockBytes);
        timeUs += frameSpacingUs;
    }
    return s.bytes();
}

void replaySeeds()
{
    const QString target = QStringLiteral("replay");
    const RadarConfig m = cli::defaultMounting();
    const QVector<RadarPacketData> packets = simulate(QStringLiteral("road"), m, 2);
    QVector<QByteArray> two;
    for (const RadarPacketData& p : packets)
        two += PacketEncoder::datagrams(p);
    const QVector<QByteArray> one = PacketEncoder::datagrams(packets[0]);
    const qint64 firstUs = startMs * 1000;

    // Two whole packets: the second is tracked against the first.
    write(
        target, QStringLiteral("ethernet-ipv4-two-packets.pcap"),
        captureOf(framesOf(two, QStringLiteral("127.0.0.1"), Link::Ethernet), firstUs, DLT_EN10MB));
    write(target, QStringLiteral("ethernet-ipv6-one-packet.pcapng"),
          pcapngOf(framesOf(one, QStringLiteral("::1"), Link::Ethernet), firstUs, DLT_EN10MB));
    // Sent frames only: the second pass takes them.
    write(target, QStringLiteral("linux-cooked-v2-sent.pcap"),
          captureOf(framesOf(one, QStringLiteral("127.0.0.1"), Link::CookedV2, true), firstUs,
                    DLT_LINUX_SLL2));
    write(target, QStringLiteral("raw-first-blocks.pcap"),
          captureOf(framesOf(firstBlocks(), QStringLiteral("127.0.0.1"), Link::Raw), firstUs,
                    DLT_RAW));
    write(target, QStringLiteral("loopback-first-blocks.pcapng"),
          pcapngOf(framesOf(firstBlocks(), QStringLiteral("::1"), Link::Null), firstUs, DLT_NULL));
}

} // namespace
} // namespace trklib::fuzz

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds CORPUS-FOLDER\n");
        return 2;
    }
    trklib::fuzz::corpusRoot = QString::fromLocal8Bit(argv[1]);
    trklib::fuzz::assemblerSeeds();
    trklib::fuzz::engineSeeds();
    trklib::fuzz::decoderSeeds();
    trklib::fuzz::reassemblerSeeds();
    trklib::fuzz::replaySeeds();
    return 0;
}
