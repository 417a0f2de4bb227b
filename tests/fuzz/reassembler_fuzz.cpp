// Fuzz target: the IP fragment reassembler, fed fragments of a few
// datagrams of two flows in any order, overlapping, misaligned, oversized,
// with any offset, under any bounds. A fragment's bytes follow a pattern of
// its datagram and its place in it, so that a rebuilt payload can be checked
// byte for byte (unless a fragment of that datagram came with other bytes).
// The pending datagrams and bytes must stay within the bounds after every
// fragment.
//
// The input: the bounds (1 byte of datagrams, 4 bytes of bytes, both signed,
// as they stand), then fragments, each led by a byte: bits 0-1 the datagram,
// bit 2 more fragments follow, bit 3 the offset is 4 bytes as they stand
// (else 2 bytes), bit 4 the bytes are read from the input (else they follow
// the pattern); then the offset, a two-byte length, and the bytes if read.

#include "fuzzinput.h"

#include "tools/common/capture/fragmentreassembler.h"

#include <QVector>
#include <QtGlobal>

namespace trklib::fuzz {
namespace {

using namespace trklib::capture;

const QByteArray sourceV4 = QByteArray::fromHex("c0a80114");
const QByteArray destinationV4 = QByteArray::fromHex("c0a8010a");
const QByteArray sourceV6 = QByteArray::fromHex("fd000000000000000000000000000014");
const QByteArray destinationV6 = QByteArray::fromHex("fd00000000000000000000000000000a");
constexpr quint8 udp = 17;
constexpr quint8 destinationOptions = 60; // an IPv6 payload may start with one

// Two datagrams of one flow (the later completes, the earlier is given up),
// one of another protocol and one of IPv6.
const FragmentKey keys[] = {{sourceV4, destinationV4, udp, 1},
                            {sourceV4, destinationV4, udp, 2},
                            {sourceV4, destinationV4, destinationOptions, 1},
                            {sourceV6, destinationV6, udp, 0x12345678}};
constexpr int keyCount = int(sizeof keys / sizeof keys[0]);

// The bytes of every datagram's payload. Positions past 64 KiB take the
// bytes of position & 0xFFFF: the reassembler ignores any fragment that
// reaches beyond 64 KiB, so those bytes are never checked.
QByteArray pattern(int key, int offset, int size)
{
    constexpr int positions = 1 << 16;
    static const QVector<QByteArray> tables = [] {
        QVector<QByteArray> all;
        for (int k = 0; k < keyCount; ++k) {
            QByteArray table(2 * positions, '\0');
            char* bytes = table.data();
            for (int p = 0; p < table.size(); ++p)
                bytes[p] = char(p * 31 + (p >> 8) + k * 71);
            all.append(table);
        }
        return all;
    }();
    return tables[key].mid(offset & (positions - 1), size);
}

} // namespace
} // namespace trklib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace trklib::fuzz;

    FuzzInput in(data, size);
    const int maxDatagrams = in.take<qint8>();
    const qint64 maxBytes = in.take<qint32>();
    FragmentReassembler reassembler(maxDatagrams, maxBytes);
    // The constructor's documented floors: one datagram, one largest payload.
    const int datagramBound = qMax(1, maxDatagrams);
    const qint64 byteBound = qMax<qint64>(FragmentReassembler::maxPayloadBytes, maxBytes);
    bool foreignBytes[keyCount] = {};

    while (!in.atEnd()) {
        const quint8 op = in.take<quint8>();
        const int key = op & 0x03;
        const bool more = (op & 0x04) != 0;
        const int offset = (op & 0x08) != 0 ? in.take<qint32>() : in.take<quint16>();
        const int length = in.take<quint16>();
        QByteArray bytes;
        if ((op & 0x10) != 0) {
            bytes = in.bytes(size_t(length));
            foreignBytes[key] = true;
        } else {
            bytes = pattern(key, offset, length);
        }

        const std::optional<QByteArray> payload = reassembler.add(keys[key], offset, more, bytes);
        if (payload) {
            check(!payload->isEmpty() && payload->size() <= FragmentReassembler::maxPayloadBytes,
                  "a rebuilt payload fits an IP datagram");
            if (!foreignBytes[key])
                check(*payload == pattern(key, 0, payload->size()),
                      "a rebuilt payload holds its fragments' bytes in place");
            foreignBytes[key] = false;
        }
        check(reassembler.pendingDatagrams() <= datagramBound,
              "pending datagrams stay within the bound");
        check(reassembler.pendingBytes() >= 0 && reassembler.pendingBytes() <= byteBound,
              "pending bytes stay within the bound");
    }
    return 0;
}
