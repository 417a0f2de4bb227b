#include "tools/common/capture/fragmentreassembler.h"

#include <gtest/gtest.h>

#include <limits>

namespace trklib::capture {
namespace {

constexpr int datagramBytes = 4104; // a 4096-byte block and its UDP header

// Bytes [offset, offset + length) of a payload whose every byte depends on
// its position, so that parts put together in the wrong place never match.
QByteArray bytesAt(int offset, int length, int seed = 0)
{
    QByteArray data(length, '\0');
    for (int i = 0; i < length; ++i) {
        const qint64 position = qint64(offset) + i;
        data[i] = char((position * 7 + position / 251 + seed) & 0xFF);
    }
    return data;
}

struct Part
{
    int offset;
    int length;
    bool more;
};

const Part first{0, 1480, true};
const Part second{1480, 1480, true};
const Part last{2960, datagramBytes - 2960, false};

FragmentKey key(quint32 id, quint8 lastAddressByte = 20)
{
    return {QByteArray("\xC0\xA8\x01") + char(lastAddressByte), QByteArray("\xC0\xA8\x01\x0A"), 17,
            id};
}

// Offers the parts in order; returns the datagrams they completed.
QVector<QByteArray> offer(FragmentReassembler& r, const FragmentKey& k, const QVector<Part>& parts,
                          int seed = 0)
{
    QVector<QByteArray> done;
    for (const Part& p : parts) {
        if (auto whole = r.add(k, p.offset, p.more, bytesAt(p.offset, p.length, seed)))
            done.append(*whole);
    }
    return done;
}

TEST(FragmentReassembler, OrderDuplicatesOverlapsAndMalformedFragments)
{
    struct Case
    {
        const char* name;
        QVector<Part> parts;
        bool completes;
        int dropped;
        int ignored;
        int pending;
    };
    const Case cases[] = {
        {"in order", {first, second, last}, true, 0, 0, 0},
        {"reversed", {last, second, first}, true, 0, 0, 0},
        {"last in the middle", {second, first, last}, true, 0, 0, 0},
        {"exact duplicates", {first, first, last, last, second}, true, 0, 2, 0},
        // Overlapping or inconsistent parts give the datagram up; the parts
        // after that start a new one that never completes.
        {"reaches into the next part", {first, {1480, 1488, true}, last}, false, 1, 0, 0},
        {"held offset, other length", {first, {0, 8, true}, second, last}, false, 1, 0, 1},
        {"two last fragments disagree", {last, {0, 1480, false}, second, first}, false, 1, 0, 1},
        {"middle part beyond the end", {last, {4200, 8, true}, first, second}, false, 1, 0, 1},
        {"last fragment cuts a held part", {second, {0, 8, false}, first, last}, false, 1, 0, 1},
        {"misaligned, empty, a byte past the largest payload",
         {{0, 100, true}, {0, 0, true}, {65528, 8, false}},
         false,
         0,
         3,
         0},
        {"ending at the largest payload", {{65528, 7, false}}, false, 0, 0, 1},
        // Offsets as any caller may pass them, not only those of IP headers.
        {"offset negative or near the int limit",
         {{-8, 8, true}, {std::numeric_limits<int>::max() - 7, 16, false}},
         false,
         0,
         2,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FragmentReassembler r;
        const QVector<QByteArray> done = offer(r, key(1), c.parts);
        EXPECT_EQ(done, c.completes ? QVector<QByteArray>{bytesAt(0, datagramBytes)}
                                    : QVector<QByteArray>{});
        EXPECT_EQ(r.droppedDatagrams(), c.dropped);
        EXPECT_EQ(r.ignoredFragments(), c.ignored);
        EXPECT_EQ(r.pendingDatagrams(), c.pending);
        EXPECT_EQ(r.pendingBytes() == 0, c.pending == 0);
    }
}

TEST(FragmentReassembler, DatagramsOfTwoSendersWithOneIdStayApart)
{
    FragmentReassembler r;
    EXPECT_TRUE(offer(r, key(7, 20), {first}, 1).isEmpty());
    EXPECT_TRUE(offer(r, key(7, 21), {last, first}, 2).isEmpty());
    EXPECT_TRUE(offer(r, key(7, 20), {last}, 1).isEmpty());
    EXPECT_EQ(r.pendingDatagrams(), 2);
    EXPECT_EQ(offer(r, key(7, 21), {second}, 2), QVector<QByteArray>{bytesAt(0, datagramBytes, 2)});
    EXPECT_EQ(offer(r, key(7, 20), {second}, 1), QVector<QByteArray>{bytesAt(0, datagramBytes, 1)});
}

TEST(FragmentReassembler, MissingFragmentDropsOnlyItsDatagram)
{
    FragmentReassembler r;
    EXPECT_TRUE(offer(r, key(1), {first, last}, 1).isEmpty());
    // Another sender's datagram, still incomplete, is not this flow's loss.
    EXPECT_TRUE(offer(r, key(9, 30), {first}, 3).isEmpty());
    EXPECT_EQ(r.pendingDatagrams(), 2);

    EXPECT_EQ(offer(r, key(2), {first, second, last}, 2),
              QVector<QByteArray>{bytesAt(0, datagramBytes, 2)});
    EXPECT_EQ(r.droppedDatagrams(), 1);
    EXPECT_EQ(r.pendingDatagrams(), 1);
    EXPECT_EQ(offer(r, key(9, 30), {second, last}, 3),
              QVector<QByteArray>{bytesAt(0, datagramBytes, 3)});
    // The lost part arriving late starts a datagram that can never complete.
    EXPECT_TRUE(offer(r, key(1), {second}, 1).isEmpty());
}

// The bounds on pending datagrams, at and just past each: the oldest go
// first, the newest stay. Bounds below the least allowed are raised to it.
TEST(FragmentReassembler, PendingDatagramsAndBytesAreBounded)
{
    constexpr int maxDatagrams = FragmentReassembler::defaultMaxPendingDatagrams;
    static_assert(maxDatagrams == 64, "the documented default");
    constexpr qint64 maxBytes = FragmentReassembler::defaultMaxPendingBytes;
    static_assert(maxBytes == 4194304, "4 MiB");
    constexpr int maxPayload = FragmentReassembler::maxPayloadBytes;
    struct Add
    {
        quint32 id;
        int offset;
        int length;
    };
    const auto firstParts = [](int count) {
        QVector<Add> adds;
        for (int id = 0; id < count; ++id)
            adds.append({quint32(id), 0, 1480});
        return adds;
    };
    const struct
    {
        const char* what;
        int maxDatagrams;
        qint64 maxBytes;
        QVector<Add> adds; // a fragment each, of a flow of its own; length % 8 != 0: a last one
        int dropped;
    } cases[] = {
        {"the default count", maxDatagrams, maxBytes, firstParts(maxDatagrams), 0},
        {"one past the default count", maxDatagrams, maxBytes, firstParts(maxDatagrams + 1), 1},
        {"bytes at the bound", 100, 100000, {{0, 0, 50000}, {1, 8, 49999}, {2, 8, 1}}, 0},
        {"a byte past", 100, 100000, {{0, 0, 50000}, {1, 8, 50000}, {2, 8, 1}}, 1},
        {"a count of 0 is 1", 0, 0, {{0, 0, 8}, {1, 0, 8}}, 1},
        {"bytes below a payload are one", 100, 0, {{0, 0, maxPayload - 7}, {1, 8, 7}}, 0},
        {"and a byte past it", 100, 0, {{0, 0, maxPayload - 7}, {1, 8, 7}, {2, 8, 1}}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FragmentReassembler r(c.maxDatagrams, c.maxBytes);
        qint64 bytes = 0;
        for (const Add& a : c.adds) {
            const bool more = a.offset == 0 && a.length % 8 == 0;
            ASSERT_FALSE(
                r.add(key(a.id, quint8(a.id)), a.offset, more, bytesAt(a.offset, a.length)));
            bytes += a.length;
        }
        EXPECT_EQ(r.droppedDatagrams(), c.dropped);
        EXPECT_EQ(r.pendingDatagrams(), c.adds.size() - c.dropped);
        EXPECT_EQ(r.pendingBytes(), bytes - (c.dropped ? c.adds.first().length : 0));
    }
    // With the defaults too, the newest are kept and the oldest gone.
    FragmentReassembler r;
    for (quint32 id = 0; id <= quint32(maxDatagrams); ++id)
        offer(r, key(id, quint8(id)), {first});
    EXPECT_TRUE(r.add(key(maxDatagrams, maxDatagrams), 1480, false, bytesAt(1480, 100)));
    EXPECT_FALSE(r.add(key(0, 0), 1480, false, bytesAt(1480, 100)));
}

} // namespace
} // namespace trklib::capture
