#pragma once

#include <QByteArray>
#include <QMap>
#include <QVector>

#include <optional>

namespace trklib::capture {

// Identifies the fragments of one IP datagram. The address length tells
// IPv4 (4 bytes, 16-bit id) from IPv6 (16 bytes, 32-bit id).
struct FragmentKey
{
    QByteArray source;
    QByteArray destination;
    quint8 protocol = 0;
    quint32 id = 0;

    bool operator==(const FragmentKey& other) const;
    // Same addresses and protocol: datagrams of one flow.
    bool sameFlow(const FragmentKey& other) const;
};

// Rebuilds IP datagrams from their fragments, in any order. Like the Linux
// stack, it ignores an exact duplicate of a fragment it holds and gives up a
// datagram whose fragments overlap otherwise or disagree about its length.
// A datagram that never completes is given up when a later datagram of the
// same flow completes, or when the pending datagrams exceed the bounds (the
// oldest go first), so memory stays bounded on any capture.
class FragmentReassembler
{
public:
    static constexpr int maxPayloadBytes = 65535;
    static constexpr int defaultMaxPendingDatagrams = 64;
    static constexpr qint64 defaultMaxPendingBytes = 4 * 1024 * 1024;

    explicit FragmentReassembler(int maxPendingDatagrams = defaultMaxPendingDatagrams,
                                 qint64 maxPendingBytes = defaultMaxPendingBytes);

    // Adds one fragment (offset in bytes; moreFragments false on the last
    // one). Gives the whole payload when this fragment completes a datagram.
    std::optional<QByteArray> add(const FragmentKey& key, int offset, bool moreFragments,
                                  const QByteArray& bytes);

    int pendingDatagrams() const { return pending_.size(); }
    qint64 pendingBytes() const { return pendingBytes_; }
    // Datagrams given up so far: incomplete, overlapping or inconsistent.
    int droppedDatagrams() const { return dropped_; }
    // Fragments ignored: duplicates, empty or misaligned ones, or ones
    // reaching past the largest possible datagram.
    int ignoredFragments() const { return ignored_; }

private:
    struct Pending
    {
        FragmentKey key;
        QMap<int, QByteArray> parts; // by offset; never overlapping
        int totalBytes = -1;         // known once the last fragment arrived
        qint64 receivedBytes = 0;
    };

    int find(const FragmentKey& key) const;
    void drop(int position);
    bool fits(const Pending& datagram, int offset, int end, bool moreFragments) const;
    static QByteArray assemble(const Pending& datagram);
    void enforceBounds();

    int maxPendingDatagrams_;
    qint64 maxPendingBytes_;
    QVector<Pending> pending_; // oldest first
    qint64 pendingBytes_ = 0;
    int dropped_ = 0;
    int ignored_ = 0;
};

} // namespace trklib::capture
