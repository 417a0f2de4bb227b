#include "tools/common/capture/fragmentreassembler.h"

#include <QtAlgorithms>

namespace trklib::capture {

namespace {

constexpr int fragmentUnitBytes = 8; // every fragment but the last is a multiple

} // namespace

bool FragmentKey::operator==(const FragmentKey& other) const
{
    return id == other.id && sameFlow(other);
}

bool FragmentKey::sameFlow(const FragmentKey& other) const
{
    return protocol == other.protocol && source == other.source && destination == other.destination;
}

FragmentReassembler::FragmentReassembler(int maxPendingDatagrams, qint64 maxPendingBytes)
    : maxPendingDatagrams_(qMax(1, maxPendingDatagrams)),
      maxPendingBytes_(qMax<qint64>(maxPayloadBytes, maxPendingBytes))
{}

std::optional<QByteArray> FragmentReassembler::add(const FragmentKey& key, int offset,
                                                   bool moreFragments, const QByteArray& bytes)
{
    // The end is computed only once it is known to fit the largest payload.
    if (bytes.isEmpty() || offset < 0 || offset > maxPayloadBytes - bytes.size() ||
        (moreFragments && bytes.size() % fragmentUnitBytes != 0)) {
        ++ignored_;
        return std::nullopt;
    }
    const int end = offset + bytes.size();

    int position = find(key);
    if (position < 0) {
        while (pending_.size() >= maxPendingDatagrams_)
            drop(0);
        pending_.append(Pending{key, {}, -1, 0});
        position = pending_.size() - 1;
    }

    Pending& datagram = pending_[position];
    const auto same = datagram.parts.constFind(offset);
    if (same != datagram.parts.cend() && same->size() == bytes.size() &&
        moreFragments == (datagram.totalBytes != end)) {
        ++ignored_; // a retransmitted or twice-captured fragment
        return std::nullopt;
    }
    if (!fits(datagram, offset, end, moreFragments)) {
        drop(position);
        return std::nullopt;
    }

    datagram.parts.insert(offset, bytes);
    datagram.receivedBytes += bytes.size();
    pendingBytes_ += bytes.size();
    if (!moreFragments)
        datagram.totalBytes = end;

    if (datagram.receivedBytes == datagram.totalBytes) {
        // No overlaps and no gap: the parts cover the payload exactly.
        QByteArray payload = assemble(datagram);
        pendingBytes_ -= datagram.receivedBytes;
        pending_.remove(position);
        // Older datagrams of this flow that are still incomplete have lost a
        // fragment; the sender has moved on.
        for (int i = position - 1; i >= 0; --i) {
            if (pending_[i].key.sameFlow(key))
                drop(i);
        }
        return payload;
    }

    enforceBounds();
    return std::nullopt;
}

int FragmentReassembler::find(const FragmentKey& key) const
{
    for (int i = 0; i < pending_.size(); ++i) {
        if (pending_[i].key == key)
            return i;
    }
    return -1;
}

void FragmentReassembler::drop(int position)
{
    pendingBytes_ -= pending_[position].receivedBytes;
    pending_.remove(position);
    ++dropped_;
}

// A new fragment [offset, end) must not overlap a part already held, must
// not reach past a known end, and a last fragment must not cut off parts
// already held or contradict an earlier last fragment.
bool FragmentReassembler::fits(const Pending& datagram, int offset, int end,
                               bool moreFragments) const
{
    if (datagram.totalBytes >= 0 &&
        (end > datagram.totalBytes || (!moreFragments && end != datagram.totalBytes)))
        return false;
    for (auto part = datagram.parts.cbegin(); part != datagram.parts.cend(); ++part) {
        const int partEnd = part.key() + part->size();
        if (part.key() < end && offset < partEnd)
            return false;
        if (!moreFragments && partEnd > end)
            return false;
    }
    return true;
}

QByteArray FragmentReassembler::assemble(const Pending& datagram)
{
    QByteArray payload;
    payload.reserve(datagram.totalBytes);
    for (const QByteArray& part : datagram.parts)
        payload.append(part);
    return payload;
}

void FragmentReassembler::enforceBounds()
{
    while (!pending_.isEmpty() && pendingBytes_ > maxPendingBytes_)
        drop(0);
}

} // namespace trklib::capture
