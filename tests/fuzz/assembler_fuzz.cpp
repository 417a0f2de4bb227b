// Fuzz target: the datagram assembler, offered any sequence of datagrams,
// with and without arrival times. A model of the wire format runs next to
// it and predicts every status from the rules the assembler documents: a
// 48-byte header (sync pattern, version, size byte) starts a packet, also in
// the middle of one; each array block must be filled exactly by whole
// datagrams; a timed datagram after a pause of more than maxPauseUs gives up
// the packet in progress. Every status must agree with the model, and every
// completed packet must hold exactly the bytes offered since its header.
//
// The input is a list of operations, each led by one byte:
//   bits 0-1  0: one datagram of any bytes (a length, then the bytes);
//             1: a valid header with 40 bytes of fields from the input;
//             2: one datagram of a block's size (or of any size), filled with
//                a ramp of two bytes;
//             3: a whole encoded packet, cut into datagrams of a given size.
//   bit 2     the datagrams come with an arrival time;
//   bit 3     that time is 8 bytes as they stand, else the last time plus a
//             signed 32-bit step (microseconds);
//   bit 4     restart() first.

#include "fuzzinput.h"

#include "input/datagramassembler.h"
#include "input/packetencoder.h"
#include "input/wireformat.h"

#include <QByteArray>
#include <QVector>

#include <cstring>
#include <optional>

namespace trklib::fuzz {
namespace {

constexpr int maxRawBytes = 5000; // beyond the largest block, 4096 bytes

bool startsWithSync(const QByteArray& d)
{
    return d.size() >= wire::syncBytes &&
           std::memcmp(d.constData(), wire::syncPattern.data(), wire::syncBytes) == 0;
}

bool isValidHeader(const QByteArray& d)
{
    constexpr int versionPos = 6;
    constexpr int sizePos = 7;
    return d.size() == wire::headerBytes && startsWithSync(d) && d[versionPos] == wire::version &&
           d[sizePos] == char(wire::headerBytes);
}

// What the assembler should do with each datagram.
class Model
{
public:
    DataParser::Status offer(const QByteArray& d, std::optional<qint64> arrivalUs)
    {
        if (arrivalUs) {
            // Wide arithmetic: the model must not share the overflow it checks for.
            if (hasArrival_ && *arrivalUs > lastArrivalUs_ &&
                __int128(*arrivalUs) - lastArrivalUs_ > DatagramAssembler::maxPauseUs)
                restart();
            hasArrival_ = true;
            lastArrivalUs_ = *arrivalUs;
        }
        if (block_ > 0 && d.size() == wire::headerBytes && startsWithSync(d))
            restart();
        if (block_ == 0) {
            if (d.size() != wire::headerBytes)
                return DataParser::BadSize;
            if (!isValidHeader(d))
                return DataParser::BadHeader;
            packet_ = d;
            block_ = 1;
            filled_ = 0;
            return DataParser::Incomplete;
        }
        packet_ += d;
        filled_ += d.size();
        const int blockBytes = wire::blockBytes[size_t(block_)];
        if (filled_ < blockBytes)
            return DataParser::Incomplete;
        if (filled_ > blockBytes) {
            restart();
            return DataParser::BadSize;
        }
        filled_ = 0;
        if (++block_ < wire::blockCount)
            return DataParser::Incomplete;
        block_ = 0;
        return DataParser::Complete;
    }

    void restart()
    {
        block_ = 0;
        filled_ = 0;
        packet_.clear();
    }

    // The bytes of the packet in progress, or of the one just completed.
    const QByteArray& packet() const { return packet_; }

private:
    int block_ = 0; // 0: waiting for a header, else the array block being filled
    int filled_ = 0;
    QByteArray packet_;
    bool hasArrival_ = false;
    qint64 lastArrivalUs_ = 0;
};

QByteArray ramp(int size, quint8 start, quint8 step)
{
    QByteArray ramp(size, '\0');
    char* bytes = ramp.data();
    for (int i = 0; i < size; ++i)
        bytes[i] = char(start + step * i);
    return ramp;
}

QVector<QByteArray> datagramsOf(int kind, FuzzInput& in)
{
    switch (kind) {
    case 0:
        return {in.bytes(size_t(in.below(maxRawBytes + 1)))};
    case 1: {
        QByteArray header(reinterpret_cast<const char*>(wire::syncPattern.data()), wire::syncBytes);
        header += char(wire::version);
        header += char(wire::headerBytes);
        return {header + in.bytes(wire::headerBytes - header.size())};
    }
    case 2: {
        // Mostly one of the array blocks' sizes, or any size up to maxRawBytes.
        const quint8 which = in.take<quint8>();
        const int size =
            which < wire::blockCount ? wire::blockBytes[which] : in.below(maxRawBytes + 1);
        const quint8 start = in.take<quint8>();
        return {ramp(size, start, in.take<quint8>())};
    }
    default: {
        RadarPacketData packet = PacketEncoder::emptyPacket(in.take<qint64>());
        const quint8 seed = in.take<quint8>();
        signed char* amplitude = packet.amplitude.data();
        float* relVelocity = packet.relVelocity.data();
        short* phaseDiff = packet.phaseDiff.data();
        for (int i = 0; i < wire::cellCount; ++i) {
            amplitude[i] = static_cast<signed char>(seed + i);
            relVelocity[i] = float(seed * i);
            phaseDiff[i] = short(seed - i);
        }
        // Whole blocks (0), or datagrams of 64 bytes and more: finer cuts
        // only slow the run down, and raw datagrams come as small as any.
        constexpr int minCutBytes = 64;
        const int cut = in.below(wire::packetBytes);
        return PacketEncoder::datagrams(packet, cut == 0 ? 0 : qMax(cut, minCutBytes));
    }
    }
}

} // namespace
} // namespace trklib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace trklib;
    using namespace trklib::fuzz;

    FuzzInput in(data, size);
    DatagramAssembler assembler;
    Model model;
    qint64 arrivalUs = 0;
    while (!in.atEnd()) {
        const quint8 op = in.take<quint8>();
        const bool timed = (op & 0x04) != 0;
        if (timed) {
            // A step with wrap-around, so that times go any way.
            arrivalUs = (op & 0x08) != 0 ? in.take<qint64>()
                                         : qint64(quint64(arrivalUs) + quint64(in.take<qint32>()));
        }
        if ((op & 0x10) != 0) {
            assembler.restart();
            model.restart();
        }
        for (const QByteArray& datagram : datagramsOf(op & 0x03, in)) {
            const DataParser::Status status =
                timed ? assembler.offer(datagram, arrivalUs) : assembler.offer(datagram);
            const DataParser::Status expected =
                model.offer(datagram, timed ? std::optional<qint64>(arrivalUs) : std::nullopt);
            check(status == expected, "the assembler's status is the model's");
            if (status == DataParser::Complete)
                check(PacketEncoder::wire(assembler.packet()) == model.packet(),
                      "a completed packet holds the bytes offered since its header");
        }
    }
    return 0;
}
