#include "fragmentreassembler.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace trklib::replay {
namespace {

constexpr int partBytes = 1480;

// A payload whose every byte depends on its position, so that parts put
// together in the wrong place never give it back.
QByteArray payload(int bytes, int seed = 0)
{
    QByteArray data(bytes, '\0');
    for (int i = 0; i < bytes; ++i)
        data[i] = char((i * 7 + i / 251 + seed) & 0xFF);
    return data;
}

struct Part
{
    int offset;
    bool more;
    QByteArray bytes;
};

QVector<Part> cut(const QByteArray& data, int bytes = partBytes)
{
    QVector<Part> parts;
    for (int pos = 0; pos < data.size(); pos += bytes)
        parts.append({pos, pos + bytes < data.size(), data.mid(pos, bytes)});
    return parts;
}

FragmentKey key(quint32 id, quint8 lastAddressByte = 20)
{
    return {QByteArray("\xC0\xA8\x01") + char(lastAddressByte), QByteArray("\xC0\xA8\x01\x0A"), 17,
            id};
}

// Offers the parts in the given order; returns what completed.
QVector<QByteArray> offer(FragmentReassembler& reassembler, const FragmentKey& k,
                          const QVector<Part>& parts)
{
    QVector<QByteArray> done;
    for (const Part& p : parts) {
        if (auto whole = reassembler.add(k, p.offset, p.more, p.bytes))
            done.append(*whole);
    }
    return done;
}

TEST(FragmentReassembler, RebuildsADatagramInAnyOrder)
{
    const QByteArray data = payload(4104); // a 4096-byte block and its UDP header
    QVector<Part> parts = cut(data);
    ASSERT_EQ(parts.size(), 3);

    FragmentReassembler inOrder;
    EXPECT_EQ(offer(inOrder, key(1), parts), QVector<QByteArray>{data});
    EXPECT_EQ(inOrder.pendingDatagrams(), 0);
    EXPECT_EQ(inOrder.pendingBytes(), 0);

    std::reverse(parts.begin(), parts.end());
    FragmentReassembler reversed;
    EXPECT_EQ(offer(reversed, key(1), parts), QVector<QByteArray>{data});

    FragmentReassembler lastInTheMiddle;
    EXPECT_EQ(offer(lastInTheMiddle, key(1), {parts[1], parts[0], parts[2]}),
              QVector<QByteArray>{data});
    EXPECT_EQ(lastInTheMiddle.droppedDatagrams(), 0);
}

TEST(FragmentReassembler, InterleavedDatagramsOfTwoFlowsStayApart)
{
    const QByteArray a = payload(3000, 1);
    const QByteArray b = payload(3000, 2);
    const QVector<Part> pa = cut(a);
    const QVector<Part> pb = cut(b);
    FragmentReassembler reassembler;
    // Same id, different senders: two datagrams.
    EXPECT_FALSE(reassembler.add(key(7, 20), pa[0].offset, pa[0].more, pa[0].bytes));
    EXPECT_FALSE(reassembler.add(key(7, 21), pb[2].offset, pb[2].more, pb[2].bytes));
    EXPECT_FALSE(reassembler.add(key(7, 21), pb[0].offset, pb[0].more, pb[0].bytes));
    EXPECT_FALSE(reassembler.add(key(7, 20), pa[2].offset, pa[2].more, pa[2].bytes));
    EXPECT_EQ(reassembler.pendingDatagrams(), 2);
    EXPECT_EQ(*reassembler.add(key(7, 21), pb[1].offset, pb[1].more, pb[1].bytes), b);
    EXPECT_EQ(*reassembler.add(key(7, 20), pa[1].offset, pa[1].more, pa[1].bytes), a);
}

TEST(FragmentReassembler, IgnoresExactDuplicates)
{
    const QByteArray data = payload(4104);
    const QVector<Part> parts = cut(data);
    FragmentReassembler reassembler;
    EXPECT_EQ(offer(reassembler, key(1), {parts[0], parts[0], parts[2], parts[2], parts[1]}),
              QVector<QByteArray>{data});
    EXPECT_EQ(reassembler.ignoredFragments(), 2);
    EXPECT_EQ(reassembler.droppedDatagrams(), 0);
}

TEST(FragmentReassembler, GivesUpOverlappingOrInconsistentDatagrams)
{
    const QByteArray data = payload(4104);
    const QVector<Part> parts = cut(data);
    const QVector<QVector<Part>> broken{
        // The second part reaches 8 bytes into the third.
        {parts[0], {partBytes, true, data.mid(partBytes, partBytes + 8)}, parts[2]},
        // A part at a held offset with another length.
        {parts[0], {0, true, data.left(8)}, parts[1], parts[2]},
        // Two last fragments that disagree on the length.
        {parts[2], {0, false, data.left(partBytes)}, parts[1], parts[0]},
        // A middle part beyond the known end.
        {parts[2], {4200, true, data.left(8)}, parts[0], parts[1]},
        // A last fragment that cuts off a part already held.
        {parts[1], {0, false, data.left(8)}, parts[0], parts[2]},
    };
    for (int i = 0; i < broken.size(); ++i) {
        SCOPED_TRACE(i);
        FragmentReassembler reassembler;
        const QVector<QByteArray> done = offer(reassembler, key(1), broken[i]);
        // Nothing mixed from the conflicting parts ever comes out.
        for (const QByteArray& d : done)
            EXPECT_EQ(d, data);
        EXPECT_GE(reassembler.droppedDatagrams(), 1);
    }
}

TEST(FragmentReassembler, IgnoresMalformedFragments)
{
    FragmentReassembler reassembler;
    EXPECT_FALSE(reassembler.add(key(1), 0, true, payload(100)));     // not a multiple of 8
    EXPECT_FALSE(reassembler.add(key(1), 0, true, QByteArray()));     // empty
    EXPECT_FALSE(reassembler.add(key(1), 65528, false, payload(16))); // past 65535 bytes
    EXPECT_EQ(reassembler.ignoredFragments(), 3);
    EXPECT_EQ(reassembler.pendingDatagrams(), 0);
}

TEST(FragmentReassembler, MissingFragmentDropsOnlyItsDatagram)
{
    FragmentReassembler reassembler;
    const QByteArray first = payload(4104, 1);
    const QByteArray second = payload(4104, 2);
    const QByteArray otherFlow = payload(4104, 3);
    QVector<Part> firstParts = cut(first);
    firstParts.remove(1);
    const QVector<Part> otherParts = cut(otherFlow);

    EXPECT_TRUE(offer(reassembler, key(1), firstParts).isEmpty());
    // Another sender's datagram, still incomplete, is not this flow's loss.
    EXPECT_TRUE(offer(reassembler, key(9, 30), otherParts.mid(0, 1)).isEmpty());
    EXPECT_EQ(reassembler.pendingDatagrams(), 2);

    EXPECT_EQ(offer(reassembler, key(2), cut(second)), QVector<QByteArray>{second});
    EXPECT_EQ(reassembler.droppedDatagrams(), 1);
    EXPECT_EQ(reassembler.pendingDatagrams(), 1);
    EXPECT_EQ(offer(reassembler, key(9, 30), otherParts.mid(1)), QVector<QByteArray>{otherFlow});
    // The lost part arriving late starts a datagram that can never complete.
    EXPECT_TRUE(offer(reassembler, key(1), {cut(first)[1]}).isEmpty());
}

TEST(FragmentReassembler, PendingDatagramsAndBytesAreBounded)
{
    constexpr int maxDatagrams = 4;
    constexpr qint64 maxBytes = 100000;
    FragmentReassembler reassembler(maxDatagrams, maxBytes);
    // First parts only, each of its own datagram and flow.
    for (quint32 id = 0; id < 10; ++id)
        reassembler.add(key(id, quint8(id)), 0, true, payload(partBytes));
    EXPECT_EQ(reassembler.pendingDatagrams(), maxDatagrams);
    EXPECT_EQ(reassembler.droppedDatagrams(), 10 - maxDatagrams);
    // The newest ones are kept.
    const QByteArray rest = payload(100);
    EXPECT_TRUE(reassembler.add(key(9, 9), partBytes, false, rest));
    EXPECT_FALSE(reassembler.add(key(0, 0), partBytes, false, rest));

    FragmentReassembler byBytes(100, maxBytes);
    const QByteArray big = payload(60000);
    for (quint32 id = 0; id < 5; ++id)
        byBytes.add(key(id, quint8(id)), 0, true, big);
    EXPECT_LE(byBytes.pendingBytes(), maxBytes);
    EXPECT_EQ(byBytes.pendingDatagrams(), 1);
}

} // namespace
} // namespace trklib::replay
